-- Read by every algorithm's script, which the runtimes load as this text followed by the
-- algorithm's own: one script per algorithm over one key per client.
-- KEYS[1] the client's key; ARGV: capacity, rate (units/s), window ms, cost, the time in ms
-- ("" for the server's clock), and, when given, the largest batch of a lease.
-- Each returns {allowed (0/1), remaining, admit_after_ms, whole_after_ms, units taken}, -1
-- where unknown.
-- The buckets and the fixed window keep their state as two doubles packed into one string
-- (struct, which every Redis offers to scripts): the next check unpacks exactly the doubles
-- this one computed, and one SET writes the state and sets its key's expiry, or clears it.
local key = KEYS[1]
local capacity = tonumber(ARGV[1])
local rate = tonumber(ARGV[2])
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
local lease = tonumber(ARGV[6] or '')

-- Lease mode: the units to take for the caller to spend locally instead of `cost`, a quarter
-- of the `left` and at most the batch size, so that batches shrink as the allowance runs out
-- and are single units near the limit.
local function lease_units(left)
  if not lease then return cost end
  local grant = math.floor(left / 4)
  if grant > lease then grant = lease end
  if grant < cost then grant = cost end
  return grant
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

-- The client's two saved numbers, or nil for a client with no key.
local function load_pair()
  local saved = redis.call('GET', key)
  if not saved then return nil end
  local a, b = struct.unpack('<dd', saved)
  return a, b
end

-- Saves the client's two numbers; the key expires after `lives_ms` (> 0), or never when nil.
local function save_pair(a, b, lives_ms)
  if lives_ms then
    redis.call('SET', key, struct.pack('<dd', a, b), 'PX', lives_ms)
  else
    redis.call('SET', key, struct.pack('<dd', a, b))
  end
end
