-- Token bucket for one client, kept in the client's own key (tokens, last refill ms), so that
-- a cluster needs nothing more.
--[[ helpers ]]
local now = read_now()
local tokens, last = load_pair()
if not tokens then
  tokens = capacity
  last = now
end

-- The refill is (elapsed / 1000) * rate + tokens in exactly that order, as the in-process
-- bucket computes it: another order rounds differently at a boundary.
local function refilled(at)
  local elapsed = 0
  if at > last then elapsed = at - last end
  local r = (elapsed / 1000.0) * rate + tokens
  if r ~= r or r > capacity then return capacity end
  return r
end

tokens = refilled(now)
if now > last then last = now end
cost = lease_units(math.floor(tokens))
local allowed = 0
if tokens >= cost then
  tokens = tokens - cost
  allowed = 1
end

local function wait_for(need)
  if tokens >= need then return last - now end
  if not (rate > 0) then return -1 end
  local ms = first_ms_where(((need - tokens) / rate) * 1000.0,
    function(e) return refilled(last + e) >= need end)
  if ms == nil then return -1 end
  return last + ms - now
end

local whole = math.floor(tokens)
if not (whole > 0) then whole = 0 end
if whole > 9007199254740991 then whole = 9007199254740991 end
local admit_after = -1
if allowed == 0 then admit_after = wait_for(cost) end
local whole_after = wait_for(math.floor(capacity))

-- The key lives exactly until the bucket is full again, when a new client's bucket is the
-- same state; one that never refills is kept.
local full_after = -1
if now >= last and tokens == capacity then
  full_after = 0
elseif rate > 0 and rate < math.huge then
  if math.floor(capacity) == capacity then
    -- The same search as the wait for a whole bucket above.
    full_after = whole_after
  else
    local ms = first_ms_where(((capacity - tokens) / rate) * 1000.0,
      function(e) return refilled(last + e) >= capacity end)
    if ms ~= nil then full_after = last + ms - now end
  end
end
if full_after == 0 then
  redis.call('DEL', key)
else
  if full_after > 0 and not passed_time then
    save_pair(tokens, last, full_after)
  else
    save_pair(tokens, last, nil)
  end
end
return {allowed, whole, admit_after, whole_after, cost}
