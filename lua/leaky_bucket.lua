-- Leaky bucket for one client, kept in one hash (v: level, l: last drain ms).
-- KEYS[1] the client's key; ARGV: capacity, leak rate (units/s), window ms (unused here),
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

local saved = redis.call('HMGET', key, 'v', 'l')
local level, last
if saved[1] then
  level = tonumber(saved[1])
  last = tonumber(saved[2])
else
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
-- Lease mode (ARGV[6] = the largest batch): take a batch of units for the caller to spend
-- locally instead of one, a quarter of what is left and at most the batch size, so that
-- batches shrink as the allowance runs out and are single units near the limit.
local lease = tonumber(ARGV[6] or '')
if lease then
  local available = 0
  if capacity > level then available = math.ceil(capacity - level) end
  local grant = math.floor(available / 4)
  if grant > lease then grant = lease end
  if grant < cost then grant = cost end
  cost = grant
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
  redis.call('HSET', key, 'v', string.format('%.17g', level), 'l', string.format('%.17g', last))
  if whole_after > 0 and rate < math.huge and not passed_time then
    redis.call('PEXPIRE', key, whole_after)
  else
    redis.call('PERSIST', key)
  end
end
return {allowed, free, admit_after, whole_after, cost}
