// The Python exceptions that host code raises during one call from Python
// into the library (Interpreter.run and stop, Compiler.compile). The library
// sees each only as the Native error carrying its repr(); a record kept for
// the length of the call holds on to the exceptions themselves, so that the
// call, when it fails, raises
// - an exception that is not an error, as itself: one that does not derive
//   from Exception (KeyboardInterrupt, SystemExit, GeneratorExit), or one
//   raised by a signal handler at a check point of the interpreter;
// - otherwise the ZoError for the failure, whose __cause__ is the exception
//   behind it when that failure is a native's, so the host's traceback shows
//   where in the native it failed.
#pragma once

#include <memory>
#include <zolang/error.hpp>

#include "py_ref.hpp"

namespace zolangpy {

class HostExceptions;

// The calling thread's record. It is read at every run(): constinit and the
// initial-exec model keep that a plain thread-pointer access (see gil.cpp).
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
  void keep(PyRef type, PyRef value, PyRef traceback, const zolang::Error& error,
            bool pass_through);

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

}  // namespace zolangpy
