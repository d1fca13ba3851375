-- Leaky bucket for one client, kept in the client's own key (level, last drain ms).
--[[ helpers ]]
local now = read_now()
local level, last = load_pair()
if not level then
  level = 0.0
  last = now
end

-- The drain is (elapsed / -1000) * rate + level in exactly that order, as the in-process
-- bucket computes it; below zero (or not a number) is empty.
local function drained(at)
  local elapsed = 0
  if at > last then elapsed = at - last end
  local d = (elapsed / -1000.0) * rate + level
  if d < 0.0 or d ~= d then return 0.0 end
  return d
end

level = drained(now)
if now > last then last = now end
-- Lease mode: the batch is taken from the room the bucket has.
if lease then
  local available = 0
  if capacity > level then available = math.ceil(capacity - level) end
  cost = lease_units(available)
end
-- A request is admitted while its first unit finds room (the bucket may then run over by
-- less than one unit, as with single requests); the rest of a larger cost must fit too.
local extra = cost - 1.0
local allowed = 0
if capacity > level + extra then
  level = level + cost
  allowed = 1
end

local free = math.floor(capacity - level)
if not (free > 0) then free = 0 end
if free > 9007199254740991 then free = 9007199254740991 end

local function wait_until(above, holds)
  if holds(last) then return last - now end
  if not (rate > 0) then return -1 end
  local ms = first_ms_where(((level - above) / rate) * 1000.0,
    function(e) return holds(last + e) end)
  if ms == nil then return -1 end
  return last + ms - now
end

local admit_after = -1
if allowed == 0 then
  admit_after = wait_until(capacity - extra,
    function(at) return capacity > drained(at) + extra end)
end
local whole_after = wait_until(0.0, function(at) return drained(at) == 0.0 end)

-- The key lives exactly until the bucket is empty again, when a new client's bucket is the
-- same state; one that never drains is kept.
if whole_after == 0 and now >= last then
  redis.call('DEL', key)
else
  if whole_after > 0 and rate < math.huge and not passed_time then
    save_pair(level, last, whole_after)
  else
    save_pair(level, last, nil)
  end
end
return {allowed, free, admit_after, whole_after, cost}
