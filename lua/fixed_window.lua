-- Fixed window for one client, kept in the client's own key. A client's window opens at its
-- first request, and each later one at the first request after the previous one ran out.
local limit = math.floor(capacity)

-- On the server's clock the key holds the units counted, as a decimal number, and its expiry
-- is the window's end. Redis counts a key gone once its clock is past the expiry, so an expiry
-- `window` - 1 ms after the window opened ends it at the very ms the in-process window ends;
-- the window's time left is then the key's PTTL + 1, and no check reads TIME.
local lives = window - 1
local counter = not passed_time and window >= 2

-- The common check, a whole cost and no lease: one INCRBY counts it and is undone when it
-- goes over the limit, since a refused request is not counted. A count INCRBY cannot add to
-- (left by a fractional cost) takes the general road below.
if counter and not lease and cost == math.floor(cost) then
  local count = redis.pcall('INCRBY', key, cost)
  if type(count) == 'number' then
    local ttl = redis.call('PTTL', key)
    if ttl < 0 then
      -- This request opens the window, admitted or not (a count without an expiry is one a
      -- passed clock left).
      ttl = lives
      count = cost
      if cost > limit then count = 0 end
      redis.call('SET', key, count, 'PX', lives)
      if cost > limit then return {0, 0, ttl + 1, ttl + 1, cost} end
    elseif count > limit then
      redis.call('DECRBY', key, cost)
      return {0, 0, ttl + 1, ttl + 1, cost}
    end
    return {1, math.floor(limit - count), -1, ttl + 1, cost}
  end
end

--[[ helpers ]]

-- On a passed clock the server's expiry cannot mark the window's end, and a 1 ms window ends
-- sooner than the shortest expiry can say: the key then holds (units counted, window start ms)
-- as two packed doubles.
if not counter then
  local now = read_now()
  local count, start = load_pair()
  if not count then
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
  if passed_time then
    save_pair(count, start, nil)
  else
    save_pair(count, start, start + window - now)
  end
  return {allowed, remaining, admit_after, reopens, cost}
end

local saved = redis.call('GET', key)
local count = 0
local ttl = -1
if saved then
  ttl = redis.call('PTTL', key)
  if ttl >= 0 then count = tonumber(saved) or 0 end
end
local opens = ttl < 0
if opens then ttl = lives end

cost = lease_units(limit - count)
local allowed = 0
local remaining = 0
local admit_after = ttl + 1
if count + cost <= limit then
  count = count + cost
  allowed = 1
  remaining = math.floor(limit - count)
  admit_after = -1
end

-- %.17g writes a count back exactly, and a whole count as digits that INCRBY can add to.
if opens then
  redis.call('SET', key, string.format('%.17g', count), 'PX', lives)
elseif allowed == 1 then
  redis.call('SET', key, string.format('%.17g', count), 'KEEPTTL')
end
return {allowed, remaining, admit_after, ttl + 1, cost}
