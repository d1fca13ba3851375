-- Helpers the algorithms share, put where an algorithm's text says `--[[ helpers ]]`. Each
-- `local function` costs every script call a closure, a few microseconds inside Redis
-- together, so a road that needs none of them runs before this text.
-- The buckets keep their state as two doubles packed into one string (struct, which every
-- Redis offers to scripts): the next check unpacks exactly the doubles this one computed, and
-- one SET writes the state and sets its key's expiry, or clears it.

-- The time in ms: the one passed in, or the server's clock.
local function read_now()
  if passed_time then return tonumber(ARGV[5]) end
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end

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
