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
// Asking is a call into the runtime, a fifth of the cost of a bare run(). An
// entry near the top of its thread's stack, where a host's loop usually
// runs, is allowed without asking: PyPy gives the stack 768 bytes per unit
// of the recursion limit, so it would refuse such an entry only under a limit
// below 70, where Python itself can hardly run. (Remembering the deepest
// entry allowed so far would be cheaper still, but wrong as soon as the host
// lowers the recursion limit.)

struct StackBounds {
  bool asked = false;  // asked once per thread; both zero if that failed
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
};

[[gnu::tls_model("initial-exec")]] thread_local StackBounds thread_stack;

// Stack in use below which an entry is allowed without asking.
constexpr std::uintptr_t shallow = 32 * 1024;
// Room kept clear of the end of the thread's stack, beyond the headroom: the
// frames of the check itself.
constexpr std::uintptr_t guard_room = 64 * 1024;

// Leaves `stack` empty when the thread's stack cannot be found.
void find_stack(StackBounds& stack) {
  stack.asked = true;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void* low = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
    stack.low = reinterpret_cast<std::uintptr_t>(low);
    stack.high = stack.low + size;
  }
  pthread_attr_destroy(&attributes);
}

[[gnu::noinline]] bool ask_below(std::size_t headroom) {
  char* volatile pad = static_cast<char*>(alloca(headroom));
  (void)pad;
  return Py_EnterRecursiveCall("") == 0;
}

bool enter() {
  char frame = 0;
  auto here = reinterpret_cast<std::uintptr_t>(&frame);
  StackBounds& stack = thread_stack;
  if (!stack.asked) find_stack(stack);
  // A frame outside the thread's own stack (a coroutine library's) can only
  // be left to the plain check.
  if (here <= stack.low || here >= stack.high) return Py_EnterRecursiveCall("") == 0;
  std::uintptr_t used = stack.high - here;
  if (used < shallow) return true;
  std::uintptr_t headroom = used / 2;
  if (here - stack.low < headroom + guard_room) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return false;
  }
  return ask_below(headroom);
}

#else

bool enter() { return Py_EnterRecursiveCall("") == 0; }

#endif

}  // namespace

RecursionLevel::RecursionLevel() : entered(enter()) {}

}  // namespace zolangpy
