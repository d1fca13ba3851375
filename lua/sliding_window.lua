-- Sliding window for one client, kept in one list of the admitting times (ms, oldest first;
-- a request of cost n is n entries).
--[[ helpers ]]
local now = read_now()
local limit = math.floor(capacity)

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
cost = lease_units(limit - n)

local allowed = 0
local remaining = 0
if n + cost <= limit then
  local batch = {}
  for i = 1, cost do batch[i] = now end
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
