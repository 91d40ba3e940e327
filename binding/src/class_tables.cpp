#include "class_tables.hpp"

#include "errors.hpp"

namespace zolangpy {

int refuse_attribute(PyObject* self, PyObject* name, PyObject*) {
  PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'",
               short_type_name(Py_TYPE(self)), name);
  return -1;
}

PyObject* refuse_subclass(PyObject* subclass, PyObject*, PyObject*) {
  PyTypeObject* base = reinterpret_cast<PyTypeObject*>(subclass)->tp_base;
  PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type",
               short_type_name(base != nullptr ? base : reinterpret_cast<PyTypeObject*>(subclass)));
  return nullptr;
}

}  // namespace zolangpy

#ifdef PYPY_VERSION

namespace zolangpy {
namespace {

PyObject* refuse_copying(PyObject* self, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", short_type_name(Py_TYPE(self)));
  return nullptr;
}

PyObject* get_class(PyObject* self, void*) {
  return guarded([&] { return PyObject_Type(self); });
}

int set_class(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    if (value == nullptr) {
      PyErr_SetString(PyExc_TypeError, "can't delete __class__ attribute");
      return -1;
    }
    if (!PyType_Check(value)) {
      PyErr_Format(PyExc_TypeError, "__class__ must be set to a class, not '%s' object",
                   short_type_name(Py_TYPE(value)));
      return -1;
    }
    PyTypeObject* old_type = Py_TYPE(self);
    auto* new_type = reinterpret_cast<PyTypeObject*>(value);
    if (new_type == old_type) return 0;
    PyErr_Format(PyExc_TypeError, "__class__ assignment: '%s' object layout differs from '%s'",
                 short_type_name(new_type), short_type_name(old_type));
    return -1;
  });
}

}  // namespace

PyMethodDef copy_refusal(const char* name) {
  return {name, method_pointer(&refuse_copying), METH_VARARGS | METH_KEYWORDS, nullptr};
}

PyGetSetDef class_assignment_guard() {
  return {"__class__", &get_class, &set_class, nullptr, nullptr};
}

}  // namespace zolangpy

#endif
