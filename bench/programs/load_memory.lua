-- The memory of Lua 5.4's compiled chunk: `lua load_memory.lua FILE` prints
-- the bytes the loaded (not run) chunk keeps alive per byte of the file's text.
local f = assert(io.open(arg[1], "rb"))
local source = f:read("a")
f:close()
collectgarbage()
local before = collectgarbage("count")
local chunk = assert(load(source))
collectgarbage()
local after = collectgarbage("count")
assert(chunk)
print(string.format("%.3f", (after - before) * 1024 / #source))
