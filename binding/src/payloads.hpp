// The record of which objects carry a C++ payload that the binding built,
// and what tears each down. PyPy does not enforce CPython's checks on our
// types: object.__new__ (which is how pickle rebuilds objects) makes an
// instance without our constructor, and __class__ may be assigned from a type
// of another layout, so the memory behind `self` may hold no payload, a
// different one, or be too small to hold any. The record lives outside the
// objects, so consulting it reads nothing of theirs. Only touched with the GIL
// held.
#pragma once

#include "python.hpp"

namespace zolangpy {

// Tears down the payload of an object (its members after the header).
using DestroyPayload = void (*)(PyObject*);

// Records that `object` now carries the payload that `destroy` tears down.
// May throw std::bad_alloc, leaving nothing recorded.
void record_payload(PyObject* object, DestroyPayload destroy);
// What tears down `object`'s payload; null when it carries none.
DestroyPayload recorded_payload(PyObject* object);
// Forgets `object`'s payload and returns what tears it down (null when none).
DestroyPayload forget_payload(PyObject* object);

}  // namespace zolangpy
