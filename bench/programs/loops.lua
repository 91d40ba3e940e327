-- The Zo loops of bench/programs, in Lua: `lua loops.lua MODE N` prints ns
-- per iteration (CPU time). Locals, as a Lua author would write them.
local mode, n = arg[1], tonumber(arg[2])
local t0 = os.clock()
if mode == "count" then
  local i = 0
  while i < n do i = i + 1 end
elseif mode == "arith" then
  local i, x = 0, 0
  while i < n do x = (i * 2 + 3) / 4 - x; i = i + 1 end
elseif mode == "mod" then
  -- floats, so `%` is the fmod-based remainder as in Zo
  local i, x = 0.0, 0.0
  while i < n do x = (x + i) % 7; i = i + 1 end
end
print(string.format("%.4f", (os.clock() - t0) * 1e9 / n))
