#include "type_support.hpp"

#include "errors.hpp"
#include "py_ref.hpp"

namespace zolangpy {

ModuleTypes& module_types() {
  static ModuleTypes types;
  return types;
}

PyType_Spec make_type_description(const char* name, std::size_t object_size, bool subclassable,
                                  PyType_Slot* slots) {
  unsigned int flags = Py_TPFLAGS_DEFAULT | (subclassable ? Py_TPFLAGS_BASETYPE : 0);
  return PyType_Spec{name, static_cast<int>(object_size), 0, flags, slots};
}

PyObject* create_type(PyType_Spec& description) {
  // The qualified type name makes the type's __module__ "zolangpy" (a bare
  // one would make it "builtins", and newer CPythons warn about it, which
  // fails the import under -W error); renaming afterwards leaves the type's
  // own name bare, as in its messages ("'Interpreter' object ...").
  PyRef type = PyRef::steal(PyType_FromSpec(&description));
  if (!type) return nullptr;
  PyRef bare_name = PyRef::steal(
      PyUnicode_FromString(short_type_name(reinterpret_cast<PyTypeObject*>(type.get()))));
  if (!bare_name || PyObject_SetAttrString(type.get(), "__name__", bare_name.get()) < 0) {
    return nullptr;
  }
  return type.release();
}

bool accepts_type(PyTypeObject* type, PyTypeObject* own, bool subclassable) {
  if (type == own) return true;
  const char* own_name = short_type_name(own);
  if (!PyType_IsSubtype(type, own)) {
    const char* name = short_type_name(type);
    PyErr_Format(PyExc_TypeError, "%s.__new__(%s): %s is not a subtype of %s", own_name, name, name,
                 own_name);
    return false;
  }
  if (subclassable) return true;
  // Only PyPy gets here: a class derived despite the refusal in
  // __init_subclass__, by a base whose own __init_subclass__ skipped super().
  PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", own_name);
  return false;
}

std::nullptr_t refuse_payloadless(PyObject* self) {
  // The class as Python sees it: on PyPy, one assigned to __class__ does not
  // reach the object's C header.
  PyRef type = PyRef::steal(PyObject_Type(self));
  if (!type) return nullptr;
  PyErr_Format(PyExc_TypeError, "'%s' object was not made by zolangpy and cannot be used",
               short_type_name(reinterpret_cast<PyTypeObject*>(type.get())));
  return nullptr;
}

void deallocate(PyObject* self) {
  GilHeld held;
  PyTypeObject* type = Py_TYPE(self);
  if (DestroyPayload destroy = forget_payload(self)) destroy(self);
  type->tp_free(self);
  release_type_reference(type);
}

void release_type_reference(PyTypeObject* type) {
  // Instances of heap types own a reference to their type, taken by
  // tp_alloc. PyPy 7.3.11 takes it too and, since our deallocators do not
  // chain to object's (which would drop it a second time), leaves giving it
  // back to us exactly as CPython does: measured, the type's count returns to
  // its start after 1000 instances die, and grows by 1000 without this line.
  PyRef::steal(reinterpret_cast<PyObject*>(type));
}

}  // namespace zolangpy

namespace zolangpy {

PyObject* detail::refuse_arguments(const char* name, Py_ssize_t count, PyObject* keywords) {
  if (keywords != nullptr && PyTuple_GET_SIZE(keywords) != 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", name, count);
  }
  return nullptr;
}

}  // namespace zolangpy
