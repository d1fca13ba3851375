-- The head of every algorithm's script: the runtimes load this text followed by the
-- algorithm's own, in which the line `--[[ helpers ]]` stands for lua/helpers.lua. One script
-- per algorithm, over one key per client.
-- KEYS[1] the client's key; ARGV: capacity, rate (units/s), window ms, cost, the time in ms
-- ("" for the server's clock), and, when given, the largest batch of a lease.
-- Each returns {allowed (0/1), remaining, admit_after_ms, whole_after_ms, units taken}, -1
-- where unknown.
local key = KEYS[1]
local capacity = tonumber(ARGV[1])
local rate = tonumber(ARGV[2])
local window = tonumber(ARGV[3])
local cost = tonumber(ARGV[4])
-- A time passed in is the caller's clock, which the server's key expiry cannot follow: keys
-- are then kept until a check finds their client recovered.
local passed_time = ARGV[5] ~= nil and ARGV[5] ~= ''
local lease = tonumber(ARGV[6] or '')
