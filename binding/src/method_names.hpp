// The names of the methods the adapters call on host objects, created once
// per process as interned strings so that each call skips building one.
#pragma once

#include "python.hpp"

namespace zolangpy {

struct MethodNames {
  PyObject* check_syntax = nullptr;
  PyObject* generate = nullptr;
  PyObject* call = nullptr;
  PyObject* terminate = nullptr;
  PyObject* get = nullptr;
  PyObject* set = nullptr;
  PyObject* is_settable = nullptr;
};

// Valid after intern_method_names() succeeded; the strings live for the
// process.
const MethodNames& method_names();
// Creates the names; returns false with an exception set. Idempotent.
bool intern_method_names();

}  // namespace zolangpy
