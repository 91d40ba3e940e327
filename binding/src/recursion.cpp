#include "recursion.hpp"

#ifdef PYPY_VERSION
#include <alloca.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#endif

namespace zolangpy {
namespace {

#ifdef PYPY_VERSION

// PyPy's check measures the machine stack, which our frames share, and
// refuses only its last sixteenth. That is not enough room for what an entry
// may do: taking an exception that went through Python frames (PyErr_Fetch)
// converts the whole chain of frames behind it, recursively, so it needs
// stack in proportion to the depth (measured: about 30% of the stack in use,
// at any recursion limit). So the level is asked for from half as far again
// below the current frame as the stack in use.
//
// Asking is a call into the runtime, a fifth of the cost of a bare run();
// but an entry no deeper than one that was allowed is allowed too, so each
// thread remembers the deepest allowed frame and asks again only below it,
// or every so many entries, in case the recursion limit was lowered since.

struct StackState {
  std::uintptr_t low = 0;  // the thread's stack, asked once
  std::uintptr_t high = 0;
  std::uintptr_t allowed = 0;  // the deepest frame allowed since the last refusal
  unsigned until_asking = 0;
};

constexpr unsigned entries_between_asks = 1024;

// Room kept clear of the end of the thread's stack, beyond the headroom: the
// frames of the check itself.
constexpr std::uintptr_t guard_room = 64 * 1024;

[[gnu::tls_model("initial-exec")]] thread_local StackState stack_state;

bool find_stack(StackState& state) {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
  void* low = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
    state.low = reinterpret_cast<std::uintptr_t>(low);
    state.high = state.low + size;
  }
  pthread_attr_destroy(&attributes);
  return state.high != 0;
}

[[gnu::noinline]] bool ask_below(std::size_t headroom) {
  char* volatile pad = static_cast<char*>(alloca(headroom));
  (void)pad;
  return Py_EnterRecursiveCall("") == 0;
}

bool ask(StackState& state, std::uintptr_t here) {
  if (state.high == 0 && !find_stack(state)) return Py_EnterRecursiveCall("") == 0;
  std::uintptr_t headroom = (state.high - here) / 2;
  bool allowed = here - state.low >= headroom + guard_room;
  if (allowed) {
    allowed = ask_below(headroom);
  } else {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
  }
  if (!allowed) {
    state.allowed = 0;
  } else if (state.allowed == 0 || here < state.allowed) {
    state.allowed = here;
  }
  state.until_asking = entries_between_asks;
  return allowed;
}

bool enter() {
  char frame = 0;
  auto here = reinterpret_cast<std::uintptr_t>(&frame);
  StackState& state = stack_state;
  if (state.allowed != 0 && here >= state.allowed && --state.until_asking != 0) return true;
  return ask(state, here);
}

#else

bool enter() { return Py_EnterRecursiveCall("") == 0; }

#endif

}  // namespace

RecursionLevel::RecursionLevel() : entered(enter()) {}

}  // namespace zolangpy
