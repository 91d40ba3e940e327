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
#pragma once

#include "python.hpp"  // first: it says whether PYPY_VERSION is defined

#ifdef PYPY_VERSION

namespace zolangpy {

// Gives the base class `base` __setattr__, __delattr__ and __init_subclass__
// as above. On an instance of exactly `base` the first two refuse as CPython
// does for an object without a __dict__: a name the class has is read-only,
// the others do not exist, and a data descriptor (__class__) takes the
// assignment; on any other instance they go on with the next class after
// `base` in the MRO, as CPython's lookup does. False, with an exception set,
// on failure.
bool refuse_base_instance_attributes(PyObject* base);

}  // namespace zolangpy

#endif
