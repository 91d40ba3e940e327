#include "gil.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "py_ref.hpp"

namespace zolangpy {
namespace {

// Read at every entry from Python. The initial-exec model makes that a plain
// thread-pointer access instead of a __tls_get_addr call; one byte of the
// static TLS surplus that the loader keeps for dlopen'ed modules suffices.
[[gnu::tls_model("initial-exec")]] thread_local bool thread_holds_gil = false;

// References dropped on threads without the GIL, waiting for one that has it.
std::mutex pending_mutex;
std::vector<PyObject*> pending;
// Lets the common case (nothing queued) skip the mutex.
std::atomic<bool> has_pending{false};

}  // namespace

bool gil_held() { return thread_holds_gil; }

GilHeld::GilHeld() : was_held(std::exchange(thread_holds_gil, true)) { release_pending(); }

GilHeld::~GilHeld() { thread_holds_gil = was_held; }

GilAcquire::GilAcquire() : acquired(!thread_holds_gil), state() {
  if (!acquired) return;
  state = PyGILState_Ensure();
  thread_holds_gil = true;
  release_pending();
}

GilAcquire::~GilAcquire() {
  if (!acquired) return;
  thread_holds_gil = false;
  PyGILState_Release(state);
}

GilRelease::GilRelease() {
  thread_holds_gil = false;
  saved = PyEval_SaveThread();
}

GilRelease::~GilRelease() {
  PyEval_RestoreThread(saved);
  thread_holds_gil = true;
}

void release_later(PyObject* object) {
  if (object == nullptr) return;
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
  // Releasing may run arbitrary Python code (__del__), which may queue more.
  for (PyObject* object : batch) PyRef::steal(object);
}

}  // namespace zolangpy
