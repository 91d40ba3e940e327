-- Lua 5.4's compile speed: `lua load.lua FILE` prints MB/s of load() on the
-- file's text (best of five, CPU time); the chunk is compiled, not run.
local f = assert(io.open(arg[1], "rb"))
local source = f:read("a")
f:close()
local best = math.huge
for _ = 1, 5 do
  local t0 = os.clock()
  assert(load(source))
  best = math.min(best, os.clock() - t0)
end
print(string.format("%.3f", #source / 1e6 / best))
