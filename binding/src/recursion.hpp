// Python's recursion check at the binding's entry points. Every method,
// constructor and getter counts as one level, so that a chain of natives
// running further interpreters, or a call made at the edge of the recursion
// limit, ends in RecursionError instead of overflowing the stack inside the
// runtime, which PyPy treats as a fatal error.
#pragma once

#include "gil.hpp"
#include "python.hpp"

namespace zolangpy {

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

}  // namespace zolangpy
