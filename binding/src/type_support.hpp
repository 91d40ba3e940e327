// What every class of the module shares: creation of heap types from a PyType_Spec,
// the module's table of types, allocation of instances with a C++ payload
// built in place, access to that payload, and the matching deallocation. Only
// allocate() and deallocate() know that Python owns an object's memory.
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

// For the tp_new of class `own`: whether it may make an instance of `type`.
// CPython checks this before calling tp_new; PyPy does not, so
// Compiler.__new__(Prop) would build a Compiler into a Prop's memory.
// Refused, with TypeError raised, unless `type` is `own` or, for a class
// Python may subclass, a subtype of it.
bool accepts_type(PyTypeObject* type, PyTypeObject* own, bool subclassable);

// Tears down the payload of an Object: its members after the header.
template <typename Object>
void destroy_payload(PyObject* self) {
  reinterpret_cast<Object*>(self)->~Object();
}

// Allocates an instance of `type` (or a subtype) and builds its payload with
// `init(Object&)`, which placement-constructs the members after the header;
// a payload that needs tearing down is recorded (payloads.hpp). Null with an
// exception set when Python is out of memory.
template <typename Object, typename Init>
Object* allocate(PyTypeObject* type, Init&& init) {
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) return nullptr;
  Object* object = reinterpret_cast<Object*>(raw);
  std::forward<Init>(init)(*object);
  if constexpr (!std::is_trivially_destructible_v<Object>) {
    record_payload(raw, &destroy_payload<Object>);
  }
  return object;
}

// Raises TypeError for a method called on an object that carries no payload
// of its class (see payloads.hpp). Returns nullptr.
std::nullptr_t refuse_payloadless(PyObject* self);

// `self` as an Object whose payload allocate() built; null, with TypeError
// raised, when `self` carries no such payload. Every method reaches its
// payload through here.
template <typename Object>
Object* payload_of(PyObject* self) {
  if (recorded_payload(self) == &destroy_payload<Object>) return reinterpret_cast<Object*>(self);
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
// method takes METH_FASTCALL and checks for itself, in CPython's words.
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

#ifdef PYPY_VERSION
// What CPython enforces by layout and PyPy lets through, refused by hand:
//
// Method-table rows for __reduce_ex__, __copy__ and __deepcopy__ of the
// classes whose instances carry a payload: each raises TypeError "cannot
// pickle '{Class}' object", as CPython does, where PyPy would rebuild an
// empty object (losing the program and registrations) or one that was never
// built. `name` is one of the three.
PyMethodDef copy_refusal(const char* name);
// A getset row for __class__ on the classes whose instances carry a payload:
// reads as usual; assignment is refused with CPython's TypeError. (The base
// classes go without: a descriptor there would make every read of __class__
// on a host's native a call into C. Their instances carry no payload, and
// one whose class is set to Interpreter, say, is refused at its first use.)
PyGetSetDef class_assignment_guard();
#endif

}  // namespace zolangpy
