-- Sliding window for one client, kept in one list of the admitting times (ms, oldest first;
-- a request of cost n is n entries).
-- KEYS[1] the client's key; ARGV: capacity (limit per window), rate (unused here), window ms,
-- cost (whole units), and the time in ms ("" for the server's clock).
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

-- An entry older than the cutoff no longer counts. Pruning stops at the first entry that
-- still does.
local cutoff = 0
if now >= window then cutoff = now - window end
while true do
  local front = redis.call('LINDEX', key, 0)
  if not front or tonumber(front) >= cutoff then break end
  redis.call('LPOP', key)
end
local n = redis.call('LLEN', key)
-- Lease mode (ARGV[6] = the largest batch): take a batch of units for the caller to spend
-- locally instead of one, a quarter of what is left and at most the batch size, so that
-- batches shrink as the allowance runs out and are single units near the limit.
local lease = tonumber(ARGV[6] or '')
if lease then
  local grant = math.floor((limit - n) / 4)
  if grant > lease then grant = lease end
  if grant < cost then grant = cost end
  cost = grant
end

local allowed = 0
local remaining = 0
if n + cost <= limit then
  local stamp = string.format('%.17g', now)
  local batch = {}
  for i = 1, cost do batch[i] = stamp end
  redis.call('RPUSH', key, unpack(batch))
  n = n + cost
  remaining = limit - n
  allowed = 1
end

-- An entry leaves the window window + 1 ms after it was admitted.
local function gone(index)
  local stamp = redis.call('LINDEX', key, index)
  if not stamp then return -1 end
  local leaves = tonumber(stamp) + window + 1
  if leaves > now then return leaves - now end
  return 0
end

local admit_after = -1
if allowed == 0 and n > 0 then admit_after = gone(n + cost - limit - 1) end
local whole_after = 0
if n > 0 then whole_after = gone(-1) end

-- The key lives exactly until its newest entry has left the window, when a new client's
-- empty list is the same state (Redis deletes an emptied list itself).
if whole_after > 0 and not passed_time then redis.call('PEXPIRE', key, whole_after) end
return {allowed, remaining, admit_after, whole_after, cost}
