// The Python class Compiler: registers natives, compiles Zo source, and hands
// the result on as IR text or as an Interpreter.
#pragma once

#include "python.hpp"

namespace zolangpy {

// New reference to the type, or null with an exception set.
PyObject* create_compiler_type();

}  // namespace zolangpy
