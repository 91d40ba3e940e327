/* Lua 5.4's cost of one lua_resume from a C host: a coroutine that yields in
 * a loop, resumed n times. Prints ns per resume (process CPU time).
 * Usage: lua_resume N */
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double cpu_seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

int main(int argc, char **argv) {
  long n = argc > 1 ? atol(argv[1]) : 1000000;
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  lua_State *co = lua_newthread(L);
  if (luaL_loadstring(co, "while true do coroutine.yield() end") != LUA_OK) return 1;
  int results = 0;
  double start = cpu_seconds();
  for (long i = 0; i < n; ++i) {
    if (lua_resume(co, L, 0, &results) != LUA_YIELD) return 1;
    lua_pop(co, results);
  }
  printf("%.4f\n", (cpu_seconds() - start) * 1e9 / (double)n);
  lua_close(L);
  return 0;
}
