#include "recursion.hpp"

#ifdef PYPY_VERSION
#include <alloca.h>
#include <pthread.h>

#include <cstddef>
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

struct StackBounds {
  char* low = nullptr;
  char* high = nullptr;
};

// The calling thread's stack, asked once per thread.
StackBounds stack_bounds() {
  [[gnu::tls_model("initial-exec")]] static thread_local StackBounds bounds;
  if (bounds.high == nullptr) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return bounds;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
      bounds.low = static_cast<char*>(low);
      bounds.high = bounds.low + size;
    }
    pthread_attr_destroy(&attributes);
  }
  return bounds;
}

// Room kept clear of the end of the thread's stack, beyond the headroom: the
// frames of the check itself.
constexpr std::ptrdiff_t guard_room = 64 * 1024;

[[gnu::noinline]] bool enter_below(std::size_t headroom) {
  char* volatile pad = static_cast<char*>(alloca(headroom));
  (void)pad;
  return Py_EnterRecursiveCall("") == 0;
}

bool enter() {
  char here = 0;
  StackBounds bounds = stack_bounds();
  if (bounds.high == nullptr) return Py_EnterRecursiveCall("") == 0;
  std::ptrdiff_t used = bounds.high - &here;
  std::ptrdiff_t headroom = used / 2;
  if (&here - bounds.low < headroom + guard_room) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return false;
  }
  return enter_below(static_cast<std::size_t>(headroom));
}

#else

bool enter() { return Py_EnterRecursiveCall("") == 0; }

#endif

}  // namespace

RecursionLevel::RecursionLevel() : entered(enter()) {}

}  // namespace zolangpy
