// The Python side of the native interfaces: the base classes Callable,
// CallableGenerator and Prop that host code subclasses, and Arg, through which
// a syntax check inspects a call site. The base classes' methods are the
// defaults a subclass inherits: most raise NotImplementedError.
#pragma once

#include <zolang/native.hpp>

#include "borrow.hpp"
#include "py_ref.hpp"
#include "python.hpp"

namespace zolangpy {

// The state of an Arg instance, after Python's header: one immutable library
// Arg.
struct ArgObject {
  BorrowFlag use;
  zolang::Arg arg;
};

// Type creators for the module initialiser: new references, or null with an
// exception set.
PyObject* create_callable_type();
PyObject* create_callable_generator_type();
PyObject* create_prop_type();
PyObject* create_arg_type();

// A new Arg object holding a copy of `arg`; null with an exception set.
PyRef make_arg(const zolang::Arg& arg);

}  // namespace zolangpy
