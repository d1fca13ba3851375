-- Fixed window for one client, kept in the client's own key (units counted, window start ms).
-- A client's window opens at its first request, and each later one at the first request
-- after the previous one ran out.
local limit = math.floor(capacity)

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
