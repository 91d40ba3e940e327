// The defences that only PyPy needs, named so. CPython refuses each of these
// by its own checks (the type's flags and layout, its argument parsing);
// PyPy 7.3.11 lets them through, so there the binding refuses them itself,
// in CPython's words:
// - deriving from a closed class, copying or pickling one, assigning its
//   __class__ (the closed classes' extra table rows, see types.hpp);
// - attributes on instances of the base classes (see below);
// - the wording of argument errors of methods that take none.
// (The payload record and accepts_type, in types.hpp, guard against PyPy's
// leniency too, but run on both runtimes.)
// On CPython this header declares nothing.
#pragma once

#include "python.hpp"  // first: it says whether PYPY_VERSION is defined

#ifdef PYPY_VERSION

namespace zolangpy {

// --- The closed classes ---

// __init_subclass__ (a class method) of the closed classes on PyPy: raises
// TypeError naming the base.
PyObject* refuse_subclass(PyObject* subclass, PyObject* args, PyObject* kwargs);

// What CPython enforces by layout and PyPy lets through, refused by hand for
// the closed classes:
//
// Method-table rows for __reduce_ex__, __copy__ and __deepcopy__: each raises
// TypeError "cannot pickle '{Class}' object", as CPython does, where PyPy
// would rebuild an empty object (losing the program and registrations) or one
// that was never built. `name` is one of the three.
PyMethodDef copy_refusal(const char* name);
// A getset row for __class__: reads as usual; assignment is refused with
// CPython's TypeError. (The base classes go without: a descriptor there would
// make every read of __class__ on a host's native a call into C. Their
// instances carry no payload, and one whose class is set to Interpreter, say,
// is refused at its first use.)
PyGetSetDef class_assignment_guard();

// --- The base classes ---

// Attributes on the instances of the base classes under PyPy. CPython gives
// Callable, CallableGenerator and Prop no instance __dict__: `Prop().x = 1`
// raises AttributeError there, while a host's subclass gets a __dict__ as
// usual. PyPy gives every extension object a __dict__, so there the bases
// refuse by __setattr__ and __delattr__ methods of their own.
//
// Every Python subclass inherits those. As a tp_setattro slot they would
// make each attribute write in a host's natives a call through PyPy's C-API
// layer: about 1.5 ns becomes 125 ns or more, 800 ns where the write goes on
// to the next class in the MRO. As Python functions they cost 12-15 ns (as
// measured, PyPy seems not to cache a lookup that ends in one of our
// classes); so the bases' __init_subclass__ gives each subclass that would
// reach them object's own methods, which CPython finds for it, and a write
// costs what it did.

// Gives the base class `base` __setattr__, __delattr__ and __init_subclass__
// as above. On an instance of exactly `base` the first two refuse as CPython
// does for an object without a __dict__: a name the class has is read-only,
// the others do not exist, and a data descriptor (__class__) takes the
// assignment; on any other instance they go on with the next class after
// `base` in the MRO, as CPython's lookup does. False, with an exception set,
// on failure.
bool refuse_base_instance_attributes(PyObject* base);

// --- Methods without arguments ---

// Raises TypeError for arguments given to `name` ("Class.method"), which takes
// none, in CPython's words. Returns nullptr.
PyObject* refuse_arguments(const char* name, Py_ssize_t count, PyObject* keywords);

// `Method` as a METH_FASTCALL | METH_KEYWORDS method that refuses arguments
// itself (see no_argument_method in types.hpp).
template <PyObject* (*Method)(PyObject*, PyObject*), const char* Name>
PyObject* checked_no_arguments(PyObject* self, PyObject* const*, Py_ssize_t count,
                               PyObject* keywords) {
  if (count != 0 || (keywords != nullptr && PyTuple_GET_SIZE(keywords) != 0)) {
    return refuse_arguments(Name, count, keywords);
  }
  return Method(self, nullptr);
}

}  // namespace zolangpy

#endif
