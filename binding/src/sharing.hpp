// Other Python threads during a long Interpreter.run() or stop(). Both hold
// the GIL, so without this a runaway step would freeze every other thread of
// the host (a GUI, a watchdog, a network thread). At the interpreter's check
// points (every few thousand budget units) the binding lets the GIL go once
// the switch interval (sys.getswitchinterval()) has passed since the call
// began or last let go, as Python's own loop does for pure Python code. It
// never does inside a native's method: there the native's Python code owns
// the thread's turn.
#pragma once

#include <chrono>
#include <expected>
#include <zolang/error.hpp>

namespace zolangpy {

class ThreadSharing {
 public:
  // A run() or stop() begins: the interval counts from its first check point.
  void begin_call() { started = false; }
  // At a check point, on the stepping thread. The Python calls made here can
  // run pending signal handlers; an exception one raises (Ctrl-C's
  // KeyboardInterrupt) ends the step as it would at check_signals.
  [[nodiscard]] std::expected<void, zolang::Error> at_check_point();

 private:
  bool started = false;
  std::chrono::steady_clock::time_point since{};
};

}  // namespace zolangpy
