-- Fixed window for one client, kept in one hash (c: units counted, s: window start ms). A
-- client's window opens at its first request, and each later one at the first request after
-- the previous one ran out.
local limit = math.floor(capacity)

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

cost = lease_units(limit - count)
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
redis.call('HSET', key, 'c', count, 's', start)
if not passed_time then redis.call('PEXPIRE', key, start + window - now) end
return {allowed, remaining, admit_after, reopens, cost}
