// The Python class Interpreter: one library interpreter per object, driven by
// run/stop/reset. Every method that changes it needs exclusive use of the
// object. Natives run synchronously on the caller's thread, in the order the
// step reaches them; run and stop let the GIL go only between them, at the
// interpreter's check points (sharing.hpp), and the object stays in use
// meanwhile.
#pragma once

#include <zolang/interpreter.hpp>

#include "py_ref.hpp"
#include "python.hpp"

namespace zolangpy {

// New reference to the type, or null with an exception set.
PyObject* create_interpreter_type();

// A new Interpreter object owning `interpreter`; null with an exception set.
PyRef wrap_interpreter(zolang::Interpreter interpreter);

}  // namespace zolangpy
