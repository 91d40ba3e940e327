// Failures crossing the boundary, both ways. A library Error reaches Python as
// zolangpy.ZoError carrying its rendered text; a Python exception raised by
// host code reaches the library as a Native error carrying the exception's
// repr(). Neither exception type is a module attribute: both are created on
// first use and kept for the life of the process.
//
// Also the record that keeps host exceptions for the length of a call, and
// the signal check the interpreter makes at its check points.
#pragma once

#include <expected>
#include <memory>
#include <string_view>
#include <zolang/error.hpp>

#include "py_ref.hpp"
#include "python.hpp"

namespace zolangpy {

// Raises ZoError with the error's rendered text. Always returns nullptr, so a
// method can `return raise_error(...)`.
PyObject* raise_error(const zolang::Error& error);
// Raises ZoError with one of the binding's own fixed texts. Returns nullptr.
PyObject* raise_zo_error(std::string_view text);
// Raises zolangpy.InternalError, which derives directly from BaseException so
// that `except Exception` does not swallow a fault of the extension itself.
// Returns nullptr.
PyObject* raise_internal_error(std::string_view what);

// How an exception that host code raised reaches the caller of the call that
// was running (see HostExceptions): decided by its class, or always as itself
// (an exception raised by a signal handler at a check point).
enum class Passing { ByClass, Always };

// Takes the pending Python exception (one must be set) and returns the Native
// error carrying the repr() of the normalised instance. The exception is
// cleared, and kept by the thread's HostExceptions record if there is one. A
// repr() longer than 64 KiB is cut, and the cut marked "... [truncated from N
// bytes]".
zolang::Error error_from_python(Passing passing = Passing::ByClass);

// --- Host exceptions ---

// The record of the Python exceptions that host code raises during one call
// from Python into the library (Interpreter.run and stop, Compiler.compile).
// The library sees each only as the Native error carrying its repr(); a record
// kept for the length of the call holds on to the exceptions themselves, so
// that the call, when it fails, raises
// - an exception that is not an error, as itself: one that does not derive
//   from Exception (KeyboardInterrupt, SystemExit, GeneratorExit), or one
//   raised by a signal handler at a check point of the interpreter;
// - otherwise the ZoError for the failure, whose __cause__ is the exception
//   behind it when that failure is a native's, so the host's traceback shows
//   where in the native it failed.

class HostExceptions;

// The calling thread's record. It is read at every run(): constinit and the
// initial-exec model keep that a plain thread-pointer access (see runtime.cpp).
extern constinit thread_local HostExceptions* current_host_exceptions
    [[gnu::tls_model("initial-exec")]];

class HostExceptions {
 public:
  // Becomes the calling thread's record until it is destroyed; records nest
  // (a native may run another interpreter). Needs the GIL, as does the
  // destructor, which drops whatever was kept. Both are inline: most calls
  // keep nothing, and a run() over `yield` should not pay for a record.
  HostExceptions() : outer(current_host_exceptions) { current_host_exceptions = this; }
  ~HostExceptions() { current_host_exceptions = outer; }
  HostExceptions(const HostExceptions&) = delete;
  HostExceptions& operator=(const HostExceptions&) = delete;

  // The calling thread's record, or null outside such a call.
  static HostExceptions* current() { return current_host_exceptions; }

  // Keeps the normalised exception that became `error`. Only the first
  // exception that passes through, and the first one behind a Native error,
  // are kept. `pass_through` makes the exception reach the caller as itself
  // whatever its class.
  void keep(FetchedException exception, const zolang::Error& error, bool pass_through);

  // The Native error of the exception on its way out to the caller, if one
  // is: host code should not run any more in this call.
  const zolang::Error* leaving() const { return leaving_error; }

  // Raises what the failed call raises for `error` (see above). Returns null.
  PyObject* raise(const zolang::Error& error);
  // For a call that did not fail: raises the exception that passes through,
  // if one was kept, and says whether it did.
  bool raise_leaving() { return kept != nullptr && restore_leaving(); }

 private:
  struct Kept;
  // Out of line, where Kept is complete; the destructor tests for null inline.
  struct DropKept {
    void operator()(Kept* kept) const;
  };
  bool restore_leaving();

  HostExceptions* outer;
  std::unique_ptr<Kept, DropKept> kept;  // made at the first keep
  // Points into `kept` while an exception is on its way out; every native
  // call asks, so it is kept at hand.
  const zolang::Error* leaving_error = nullptr;
};

// --- Signals ---

// Signal handlers during a long Interpreter.run() or stop(). Both hold the GIL
// for their whole length, so Python's signal handlers (KeyboardInterrupt for
// Ctrl-C, a watchdog's alarm) would only run once the program gives control
// back, which a runaway loop never does. The interpreter therefore calls
// check_signals at its check points (every few thousand budget units); a
// handler that raises ends the call, and its exception reaches the caller as
// itself.
//
// On CPython that is PyErr_CheckSignals, which runs the handlers of pending
// signals on the main thread. PyPy's C API does nothing there: its handlers
// run when the interpreter next checks for them, which a C function that
// does not return never lets it do. signal.pthread_kill(thread, 0) sends no
// signal but checks for pending ones on return, on PyPy as on CPython; it
// costs about a microsecond, so on PyPy it is called at most every couple of
// milliseconds of a long call.

// Runs the handlers of pending signals if the calling thread is the main
// thread. A handler's exception is taken and kept to reach the caller as
// itself (see HostExceptions); the result is then its Native error.
[[nodiscard]] std::expected<void, zolang::Error> check_signals();

}  // namespace zolangpy
