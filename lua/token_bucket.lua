-- Token bucket for one client, kept in one hash (t: tokens, l: last refill ms), so that a
-- cluster needs nothing more than the client's own key.
-- KEYS[1] the client's key; ARGV: capacity, refill rate (tokens/s), window ms (unused here),
-- cost, and the time in ms ("" for the server's clock).
-- Returns {allowed (0/1), remaining, admit_after_ms, whole_after_ms, units taken}, -1 where
-- unknown; ARGV[6], when given, asks for a lease (see below).
local key = KEYS[1]
local capacity = tonumber(ARGV[1])
local rate = tonumber(ARGV[2])
local cost = tonumber(ARGV[4])
-- A time passed in is the caller's clock, which the server's key expiry cannot follow: keys
-- are then kept until a check finds their client recovered.
local passed_time = ARGV[5] ~= nil and ARGV[5] ~= ''
local now
if passed_time then
  now = tonumber(ARGV[5])
else
  local t = redis.call('TIME')
  now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end

-- The first whole ms e >= 0 at which holds(e) is true, searched from the closed-form
-- estimate, which rounding may put a few ms off; nil when the answer is not near it or lies
-- beyond exactly representable times.
local function first_ms_where(estimate, holds)
  if not (estimate < 9.0e15) then return nil end
  local ms = 0
  if estimate > 0 then ms = math.ceil(estimate) end
  local i = 0
  while i < 64 and ms > 0 and holds(ms - 1) do
    ms = ms - 1
    i = i + 1
  end
  i = 0
  while not holds(ms) do
    if i == 64 then return nil end
    ms = ms + 1
    i = i + 1
  end
  return ms
end

local saved = redis.call('HMGET', key, 't', 'l')
local tokens, last
if saved[1] then
  tokens = tonumber(saved[1])
  last = tonumber(saved[2])
else
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
-- Lease mode (ARGV[6] = the largest batch): take a batch of units for the caller to spend
-- locally instead of one, a quarter of what is left and at most the batch size, so that
-- batches shrink as the allowance runs out and are single units near the limit.
local lease = tonumber(ARGV[6] or '')
if lease then
  local grant = math.floor(math.floor(tokens) / 4)
  if grant > lease then grant = lease end
  if grant < cost then grant = cost end
  cost = grant
end
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
  local ms = first_ms_where(((capacity - tokens) / rate) * 1000.0,
    function(e) return refilled(last + e) >= capacity end)
  if ms ~= nil then full_after = last + ms - now end
end
if full_after == 0 then
  redis.call('DEL', key)
else
  redis.call('HSET', key, 't', string.format('%.17g', tokens), 'l', string.format('%.17g', last))
  if full_after > 0 and not passed_time then
    redis.call('PEXPIRE', key, full_after)
  else
    redis.call('PERSIST', key)
  end
end
return {allowed, whole, admit_after, whole_after, cost}
