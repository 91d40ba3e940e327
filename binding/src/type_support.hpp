// What every class of the module shares: creation of heap types from their
// descriptions, the module's table of types, allocation of instances with a
// C++ payload built in place, access to that payload, the matching
// deallocation, and rows of method tables. Only allocate() and deallocate()
// know that Python owns an object's memory.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "gil.hpp"
#include "payloads.hpp"
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

// The description of a class named "zolangpy.Name" whose instances take
// `object_size` bytes, which Python may subclass or not.
PyType_Spec make_type_description(const char* name, std::size_t object_size, bool subclassable,
                                  PyType_Slot* slots);

// Creates a heap type from its description: the type's __module__ is
// "zolangpy" while its name (tp_name, __name__, __qualname__) is the bare
// "Name". New reference, or null with an exception set.
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

// For the tp_new of class `own`: whether it may make an instance of `type`.
// CPython checks this before calling tp_new; PyPy does not, so
// Compiler.__new__(Prop) would build a Compiler into a Prop's memory.
// Refused, with TypeError raised, unless `type` is `own` or, for a class
// Python may subclass, a subtype of it.
bool accepts_type(PyTypeObject* type, PyTypeObject* own, bool subclassable);

// An instance of a class whose objects carry a C++ `Payload` after Python's
// header. Only allocate() builds one; the bases Python subclasses carry none.
template <typename Payload>
struct Instance {
  PyObject header;
  Payload payload;
};

// Tears down the payload of an Instance<Payload>.
template <typename Payload>
void destroy_payload(PyObject* self) {
  reinterpret_cast<Instance<Payload>*>(self)->payload.~Payload();
}

// Allocates an instance of `type` (or a subtype) and builds its payload from
// `arguments`; a payload that needs tearing down is recorded (payloads.hpp).
// Null with an exception set when Python is out of memory. When building or
// recording throws, the instance is given back before the exception goes on.
template <typename Payload, typename... Arguments>
PyObject* allocate(PyTypeObject* type, Arguments&&... arguments) {
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) return nullptr;
  Payload* payload = &reinterpret_cast<Instance<Payload>*>(raw)->payload;
  try {
    new (payload) Payload{std::forward<Arguments>(arguments)...};
  } catch (...) {
    Py_DECREF(raw);  // nothing recorded: deallocate() only frees it
    throw;
  }
  if constexpr (!std::is_trivially_destructible_v<Payload>) {
    try {
      record_payload(raw, &destroy_payload<Payload>);
    } catch (...) {
      payload->~Payload();
      Py_DECREF(raw);
      throw;
    }
  }
  return raw;
}

// Raises TypeError for a method called on an object that carries no payload
// of its class (see payloads.hpp). Returns nullptr.
std::nullptr_t refuse_payloadless(PyObject* self);

// The payload of `self` that allocate() built; null, with TypeError raised,
// when `self` carries no such payload. Every method reaches its payload
// through here.
template <typename Payload>
Payload* payload_of(PyObject* self) {
  if (recorded_payload(self) == &destroy_payload<Payload>) {
    return &reinterpret_cast<Instance<Payload>*>(self)->payload;
  }
  return refuse_payloadless(self);
}

// tp_dealloc of every class: tears down the payload recorded for the object,
// whatever its type says now, then frees it.
void deallocate(PyObject* self);

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

namespace detail {
// Raises TypeError for arguments given to `name` ("Class.method"), which takes
// none, in CPython's words. Returns nullptr.
PyObject* refuse_arguments(const char* name, Py_ssize_t count, PyObject* keywords);

template <PyObject* (*Method)(PyObject*, PyObject*), const char* Name>
PyObject* checked_no_arguments(PyObject* self, PyObject* const*, Py_ssize_t count,
                               PyObject* keywords) {
  if (count != 0 || (keywords != nullptr && PyTuple_GET_SIZE(keywords) != 0)) {
    return refuse_arguments(Name, count, keywords);
  }
  return Method(self, nullptr);
}
}  // namespace detail

// The method-table row of a method that takes no arguments; `Name` is
// "Class.method", and the row's name the part after the dot. PyPy words the
// argument errors of METH_NOARGS methods with the bare name ("run() takes no
// arguments (1 given)"), where CPython names the class too; so on PyPy the
// method takes METH_FASTCALL | METH_KEYWORDS and checks for itself, in
// CPython's words. That costs PyPy about 12 ns a call (bench/README.md).
template <PyObject* (*Method)(PyObject*, PyObject*), const char* Name>
PyMethodDef no_argument_method(const char* doc) {
  const char* name = Name;
  for (const char* at = Name; *at != '\0'; ++at) {
    if (*at == '.') name = at + 1;
  }
#ifdef PYPY_VERSION
  return {name, method_pointer(&detail::checked_no_arguments<Method, Name>),
          METH_FASTCALL | METH_KEYWORDS, doc};
#else
  return {name, method_pointer(Method), METH_NOARGS, doc};
#endif
}

}  // namespace zolangpy
