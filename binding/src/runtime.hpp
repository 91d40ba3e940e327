// The runtime under every entry point: the global interpreter lock, Python's
// recursion check, and `guarded`, the barrier every call from Python passes.
//
// The GIL as the binding sees it. Every entry point from Python (methods,
// constructors, deallocators) runs inside a GilHeld scope, so the binding knows
// on which threads it holds the lock without asking the runtime; adapters
// called from library code take the lock with GilAcquire only when their
// thread does not hold it already.
//
// A thread that takes the GIL back while Python is finalizing never gets it:
// the runtime ends the thread with pthread_exit, whose forced unwind
// (abi::__forced_unwind) runs our destructors on its way out. Every catch-all
// of the binding rethrows it, no noexcept function lies on its path, and once
// a thread has seen it, our destructors leave Python alone (the lock belongs
// to the finalizing thread now): its references are abandoned, not dropped.
//
// The recursion check: every method, constructor and getter counts as one
// level, so that a chain of natives running further interpreters, or a call
// made at the edge of the recursion limit, ends in RecursionError instead of
// overflowing the stack inside the runtime, which PyPy treats as a fatal
// error.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <string_view>
#include <type_traits>

#include "python.hpp"

namespace zolangpy {

// Whether the calling thread holds the GIL, as far as the binding knows.
bool gil_held();

// Records that the runtime is ending the calling thread (called from the
// handlers that see the forced unwind go by; they rethrow it).
void note_thread_exit();

namespace detail {
// Set once the runtime has started ending this thread; never cleared. Read
// by every reference release, hence visible here. The initial-exec model
// makes a read one thread-pointer access.
[[gnu::tls_model("initial-exec")]] extern thread_local bool thread_is_exiting;
}  // namespace detail

// Whether the calling thread is being ended by the runtime.
inline bool thread_exiting() { return detail::thread_is_exiting; }

// Runs `call`, which may run Python code (a host method, __repr__, __float__)
// and so may drop the GIL and be ended when it takes it back.
//
// The forced unwind carries no C++ object, so UndefinedBehaviorSanitizer
// reports binding the handler's reference to it; that is the one report
// no_sanitize("undefined") silences in the functions that catch it. GCC does
// not inline instrumented code into them, so `call` stays checked.
template <typename Call>
[[gnu::no_sanitize("undefined")]] auto running_python(Call&& call) -> decltype(call()) {
  try {
    return call();
  } catch (abi::__forced_unwind&) {
    note_thread_exit();
    throw;
  }
}

// Marks the scope of an entry point from Python, which always holds the GIL.
// Also releases the references queued by release_later().
class GilHeld {
 public:
  GilHeld();
  ~GilHeld();
  GilHeld(const GilHeld&) = delete;
  GilHeld& operator=(const GilHeld&) = delete;

 private:
  bool was_held;
};

// Takes the GIL for its scope (re-entrantly: a no-op on a thread that holds it).
// Taking it may end the thread (see above).
class GilAcquire {
 public:
  GilAcquire();
  ~GilAcquire();
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  bool acquired;
  PyGILState_STATE state;
  PyThreadState* restored;  // the state of the enclosing GilRelease, if any
};

// Gives the GIL up for its scope; the thread must hold it on entry. Taking it
// back may end the thread, so the destructor lets the forced unwind through.
class GilRelease {
 public:
  GilRelease();
  ~GilRelease() noexcept(false);
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* saved;
  PyThreadState* outer;  // the enclosing GilRelease's state, restored on exit
};

// Drops one strong reference: at once when the thread holds the GIL,
// otherwise at the next moment a thread enters the binding with it. Takes
// ownership of `object` (null is ignored).
void release_later(PyObject* object);

// Releases every reference queued by release_later(); the GIL must be held.
void release_pending();

// One level of the check, held for a scope; the GIL must be held at both
// ends. A refused level has raised RecursionError.
class RecursionLevel {
 public:
  RecursionLevel();
  ~RecursionLevel() {
#ifndef PYPY_VERSION
    // PyPy's check keeps no count (it looks at the stack alone): nothing to
    // give back there, and leaving would cost a call into the runtime.
    if (entered && !thread_exiting()) Py_LeaveRecursiveCall();
#endif
  }
  RecursionLevel(const RecursionLevel&) = delete;
  RecursionLevel& operator=(const RecursionLevel&) = delete;

  explicit operator bool() const { return entered; }

 private:
  bool entered;
};

namespace detail {
// Raises zolangpy.InternalError for a C++ exception that reached an entry
// point (see raise_internal_error in errors.hpp).
void raise_fault(std::string_view what);
}  // namespace detail

// Runs one entry point from Python: marks the GIL as held, counts as one
// level of Python's recursion check (so that nothing inside runs out of stack
// in the runtime: see RecursionLevel), and turns a C++ exception (only
// allocation failure is expected) into InternalError, with the C API's
// failure result (nullptr or -1). The forced unwind of a thread that the
// runtime ends (see the top of this file) goes through: it is not ours to stop, and
// stopping it aborts the process.
template <typename Body>
[[gnu::no_sanitize("undefined")]] auto guarded(Body&& body)
    -> decltype(body()) {  // see running_python
  using Result = decltype(body());
  static_assert(std::is_pointer_v<Result> || std::is_same_v<Result, int>);
  GilHeld held;
  try {
    RecursionLevel level;
    if (level) return body();
  } catch (abi::__forced_unwind&) {
    note_thread_exit();
    throw;
  } catch (const std::exception& fault) {
    detail::raise_fault(fault.what());
  } catch (...) {
    detail::raise_fault("unknown C++ exception");
  }
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return -1;
  }
}

}  // namespace zolangpy
