// Attributes on the instances of the base classes under PyPy. CPython gives
// Callable, CallableGenerator and Prop no instance __dict__: `Prop().x = 1`
// raises AttributeError there, while a host's subclass gets a __dict__ as
// usual. PyPy gives every extension object a __dict__, so there the bases
// refuse by __setattr__ and __delattr__ methods of their own.
//
// Every Python subclass inherits those. A tp_setattro slot would turn each
// attribute write in a host's natives into a call through PyPy's C-API layer
// (about 1.5 ns becomes 125 ns or more, and 800 ns where the write has to go
// on past the slot to the next class in the MRO). So the methods are Python
// functions, which PyPy's JIT inlines: on an instance of any other class they
// go on with the next class after the base in the MRO, as CPython's lookup
// does when the base has none.
#pragma once

#include "python.hpp"  // first: it says whether PYPY_VERSION is defined

#ifdef PYPY_VERSION

namespace zolangpy {

// Gives the base class `base` the __setattr__ and __delattr__ above. On an
// instance of exactly `base` they refuse as CPython does for an object
// without a __dict__: a name the class has is read-only, the others do not
// exist, and a data descriptor (__class__) takes the assignment. False, with
// an exception set, on failure.
bool refuse_base_instance_attributes(PyObject* base);

}  // namespace zolangpy

#endif
