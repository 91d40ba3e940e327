#include "gil.hpp"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "py_ref.hpp"

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
