// The adapters through which the library calls host objects: each implements
// one native interface by calling the method of the same role on the Python
// object it wraps, looked up by name at each call (so overrides, even ones set
// on the instance, are seen). Every operation takes the GIL for its call into
// Python; a Python exception becomes the Native error carrying its repr().
#pragma once

#include <memory>
#include <zolang/native.hpp>

#include "py_ref.hpp"

namespace zolangpy {

// Wraps `object`, which must be an instance of CallableGenerator (the caller
// checks); the adapter owns one strong reference to it.
std::unique_ptr<zolang::CallableGenerator> make_generator_adapter(PyObject* object);
// Wraps `object`, an instance of Prop (checked by the caller).
std::unique_ptr<zolang::Prop> make_prop_adapter(PyObject* object);

}  // namespace zolangpy
