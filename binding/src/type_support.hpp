// What every class of the module shares: creation of heap types from a PyType_Spec,
// the module's table of types, allocation of instances with a C++ payload
// built in place, and the matching deallocation. Only allocate() and
// deallocate() know that Python owns an object's memory.
#pragma once

#include <new>
#include <utility>

#include "gil.hpp"
#include "python.hpp"

namespace zolangpy {

// The module's classes. Each is created once, by the module initialiser, and
// kept for the life of the process: a Python subclass of a base class has no
// module of its own to look them up in.
struct ModuleTypes {
  PyTypeObject* interpreter = nullptr;
  PyTypeObject* compiler = nullptr;
  PyTypeObject* arg = nullptr;
  PyTypeObject* callable = nullptr;
  PyTypeObject* callable_generator = nullptr;
  PyTypeObject* prop = nullptr;
};
ModuleTypes& module_types();

// Creates a heap type from the PyType_Spec, whose name is "zolangpy.Name": the type's
// __module__ is "zolangpy" while its name (tp_name, __name__, __qualname__)
// is the bare "Name". New reference, or null with an exception set.
PyObject* create_type(PyType_Spec& description);

// Whether `object`'s type is `type` or a subtype; the type relation alone, no
// __instancecheck__.
inline bool has_type(PyObject* object, PyTypeObject* type) {
  return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type);
}

// The type's name without its module, as `__name__` gives it for built-in
// types ("bool_" for "numpy.bool_").
inline const char* short_type_name(PyTypeObject* type) {
  const char* name = type->tp_name;
  for (const char* at = name; *at != '\0'; ++at) {
    if (*at == '.') name = at + 1;
  }
  return name;
}

// Gives back the reference to its heap type that each instance holds.
void release_type_reference(PyTypeObject* type);

// Allocates an instance of `type` (or a subtype) and builds its payload with
// `init(Object&)`, which placement-constructs the members after the header.
// Null with an exception set when Python is out of memory.
template <typename Object, typename Init>
Object* allocate(PyTypeObject* type, Init&& init) {
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) return nullptr;
  Object* object = reinterpret_cast<Object*>(raw);
  std::forward<Init>(init)(*object);
  return object;
}

// tp_dealloc for an Object whose members after the header have destructors.
template <typename Object>
void deallocate(PyObject* self) {
  GilHeld held;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object*>(self)->~Object();
  type->tp_free(self);
  release_type_reference(type);
}

}  // namespace zolangpy

namespace zolangpy {

// Function pointers as the C API's tables want them. Going through void(*)()
// is the conversion -Wcast-function-type accepts.
template <typename Function>
PyCFunction method_pointer(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <typename Function>
void* slot_pointer(Function* function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace zolangpy

namespace zolangpy {

// For the classes that Python may not subclass (Interpreter, Compiler, Arg).
// CPython enforces both rules by the type's flags and layout; PyPy 7.3.11
// ignores the missing Py_TPFLAGS_BASETYPE and gives every extension object a
// __dict__, so the refusals are spelled out.
//
// tp_setattro: every attribute assignment or deletion raises AttributeError.
int refuse_attribute(PyObject* self, PyObject* name, PyObject* value);
// __init_subclass__ (a class method): raises TypeError naming the base.
PyObject* refuse_subclass(PyObject* subclass, PyObject* args, PyObject* kwargs);

}  // namespace zolangpy
