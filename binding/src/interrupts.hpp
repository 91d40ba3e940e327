// Signals during a long Interpreter.run() or stop(). Both hold the GIL for
// their whole length, so Python's signal handlers (KeyboardInterrupt for
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
#pragma once

#include <expected>
#include <zolang/error.hpp>

namespace zolangpy {

// Runs the handlers of pending signals if the calling thread is the main
// thread. A handler's exception is taken and kept to reach the caller as
// itself (see HostExceptions); the result is then its Native error.
[[nodiscard]] std::expected<void, zolang::Error> check_signals();

}  // namespace zolangpy
