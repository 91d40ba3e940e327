// The runtime's state: which threads hold the GIL, the queue of references
// dropped without it, and the recursion check (on PyPy measured against the
// thread's stack).
#include "runtime.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#ifdef PYPY_VERSION
#include <alloca.h>
#include <pthread.h>
#endif

#include "errors.hpp"
#include "py_ref.hpp"

// --- The GIL ---

namespace zolangpy {
namespace {

// Read at every entry from Python. The initial-exec model makes that a plain
// thread-pointer access instead of a __tls_get_addr call; one byte of the
// static TLS surplus that the loader keeps for dlopen'ed modules suffices.
[[gnu::tls_model("initial-exec")]] thread_local bool thread_holds_gil = false;
// The thread state a GilRelease scope of this thread saved, if one is open: a
// GilAcquire inside it restores that state directly, which costs far less
// than PyGILState_Ensure on PyPy (a library call back into Python, a syntax
// check say, takes the lock once per call).
[[gnu::tls_model("initial-exec")]] thread_local PyThreadState* released_state = nullptr;

// References dropped on threads without the GIL, waiting for one that has it.
std::mutex pending_mutex;
std::vector<PyObject*> pending;
// Lets the common case (nothing queued) skip the mutex.
std::atomic<bool> has_pending{false};

}  // namespace

namespace detail {
[[gnu::tls_model("initial-exec")]] thread_local bool thread_is_exiting = false;
}  // namespace detail

bool gil_held() { return thread_holds_gil; }

void note_thread_exit() {
  detail::thread_is_exiting = true;
  thread_holds_gil = false;
#if defined(__SANITIZE_ADDRESS__)
  // The forced unwind removes frames without AddressSanitizer's knowledge,
  // leaving their guard zones marked below us; the rethrow's own frames land
  // there and trip the sanitizer. Sanitized builds only.
  constexpr std::ptrdiff_t slack = 64 * 1024;
  char here = 0;
  __asan_unpoison_memory_region(&here - slack, slack);
#endif
}

GilHeld::GilHeld() : was_held(std::exchange(thread_holds_gil, true)) { release_pending(); }

GilHeld::~GilHeld() { thread_holds_gil = was_held; }

GilAcquire::GilAcquire() : acquired(!thread_holds_gil), state(), restored(released_state) {
  if (!acquired) return;
  if (restored != nullptr) {
    released_state = nullptr;  // held again: a GilRelease inside saves its own
    running_python([&] { PyEval_RestoreThread(restored); });
  } else {
    state = running_python([] { return PyGILState_Ensure(); });
  }
  thread_holds_gil = true;
  release_pending();
}

GilAcquire::~GilAcquire() {
  // A thread that Python code inside the scope left without the lock must not
  // give back what it no longer has.
  if (!acquired || thread_exiting()) return;
  thread_holds_gil = false;
  if (restored != nullptr) {
    released_state = PyEval_SaveThread();
  } else {
    PyGILState_Release(state);
  }
}

GilRelease::GilRelease() : outer(released_state) {
  thread_holds_gil = false;
  saved = PyEval_SaveThread();
  released_state = saved;
}

GilRelease::~GilRelease() noexcept(false) {
  released_state = outer;
  if (thread_exiting()) return;
  running_python([&] { PyEval_RestoreThread(saved); });
  thread_holds_gil = true;
}

void release_later(PyObject* object) {
  if (object == nullptr || thread_exiting()) return;
  if (thread_holds_gil) {
    PyRef::steal(object);
    return;
  }
  std::lock_guard lock(pending_mutex);
  pending.push_back(object);
  has_pending.store(true, std::memory_order_release);
}

void release_pending() {
  if (!has_pending.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(pending_mutex);
    batch.swap(pending);
    has_pending.store(false, std::memory_order_relaxed);
  }
  // Releasing may run arbitrary Python code (__del__), which may queue more,
  // or drop the GIL and end the thread: not from a destructor, then.
  for (PyObject* object : batch) running_python([&] { Py_DECREF(object); });
}

}  // namespace zolangpy

// --- The recursion check ---

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

// --- The barrier ---

void detail::raise_fault(std::string_view what) { raise_internal_error(what); }

}  // namespace zolangpy
