-- Fixed window for one client, kept in one hash (c: units counted, s: window start ms). A
-- client's window opens at its first request, and each later one at the first request after
-- the previous one ran out.
-- KEYS[1] the client's key; ARGV: capacity (limit per window), rate (unused here), window ms,
-- cost, and the time in ms ("" for the server's clock).
-- Returns {allowed (0/1), remaining, admit_after_ms, whole_after_ms, units taken}, -1 where
-- unknown; ARGV[6], when given, asks for a lease (see below).
local key = KEYS[1]
local limit = math.floor(tonumber(ARGV[1]))
local window = tonumber(ARGV[3])
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

local saved = redis.call('HMGET', key, 'c', 's')
local count, start
if saved[1] then
  count = tonumber(saved[1])
  start = tonumber(saved[2])
else
  count = 0
  start = now
end

local elapsed = 0
if now > start then elapsed = now - start end
if elapsed >= window then
  -- A new window opens with this request, whether or not it is then admitted.
  count = 0
  start = now
end

-- Lease mode (ARGV[6] = the largest batch): take a batch of units for the caller to spend
-- locally instead of one, a quarter of what is left and at most the batch size, so that
-- batches shrink as the allowance runs out and are single units near the limit.
local lease = tonumber(ARGV[6] or '')
if lease then
  local grant = math.floor((limit - count) / 4)
  if grant > lease then grant = lease end
  if grant < cost then grant = cost end
  cost = grant
end
local allowed = 0
local remaining = 0
if count + cost <= limit then
  count = count + cost
  allowed = 1
  remaining = math.floor(limit - count)
end

local from = start
if now > from then from = now end
local reopens = from + (window - (from - start)) - now
local admit_after = -1
if allowed == 0 then admit_after = reopens end

-- The key lives exactly until its window runs out, when a new client's check opens the same
-- window.
redis.call('HSET', key, 'c', string.format('%.17g', count), 's', string.format('%.17g', start))
if not passed_time then redis.call('PEXPIRE', key, start + window - now) end
return {allowed, remaining, admit_after, reopens, cost}
