-- Lua's side of the scale benchmark: N coroutines each waiting on a host
-- function that answers false. `lua scale.lua memory N` prints bytes per
-- waiting coroutine; `lua scale.lua step N` ns per coroutine resumed.
local mode, n = arg[1], tonumber(arg[2])
local function wait() return false end
local function body() while not wait() do coroutine.yield() end end
collectgarbage("collect")
collectgarbage("stop")
local before = collectgarbage("count")
local waiting = {}
for i = 1, n do
  local co = coroutine.create(body)
  coroutine.resume(co)
  waiting[i] = co
end
if mode == "memory" then
  print(string.format("%.1f", (collectgarbage("count") - before) * 1024 / n))
  return
end
collectgarbage("restart")
local resume, steps = coroutine.resume, 20
local t0 = os.clock()
for _ = 1, steps do
  for i = 1, n do resume(waiting[i]) end
end
print(string.format("%.3f", (os.clock() - t0) * 1e9 / (steps * n)))
