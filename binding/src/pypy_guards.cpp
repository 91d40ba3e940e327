// The PyPy-only refusals declared in pypy_guards.hpp. Built only for PyPy.
#include "pypy_guards.hpp"

#ifdef PYPY_VERSION

#include "errors.hpp"
#include "py_ref.hpp"
#include "runtime.hpp"
#include "types.hpp"

namespace zolangpy {

// --- The closed classes ---

PyObject* refuse_subclass(PyObject* subclass, PyObject*, PyObject*) {
  PyTypeObject* base = reinterpret_cast<PyTypeObject*>(subclass)->tp_base;
  PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type",
               short_type_name(base != nullptr ? base : reinterpret_cast<PyTypeObject*>(subclass)));
  return nullptr;
}

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

// --- The base classes ---

namespace {

// What CPython does for an object without a __dict__; `value` is null for a
// deletion. __dict__ and __weakref__ are PyPy's own additions to the bases,
// which CPython's instances lack.
int refuse_as_cpython(PyObject* self, PyObject* name, PyObject* value) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%s'",
                 short_type_name(Py_TYPE(name)));
    return -1;
  }
  // The class as Python sees it: on PyPy, one assigned to __class__ does not
  // reach the object's C header.
  PyRef type = PyRef::steal(PyObject_Type(self));
  if (!type) return -1;
  auto* own = reinterpret_cast<PyTypeObject*>(type.get());
  bool pypy_only = PyUnicode_CompareWithASCIIString(name, "__dict__") == 0 ||
                   PyUnicode_CompareWithASCIIString(name, "__weakref__") == 0;
  PyObject* found = pypy_only ? nullptr : _PyType_Lookup(own, name);  // borrowed
  if (found == nullptr) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'", short_type_name(own),
                 name);
    return -1;
  }
  if (PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(found)), "__set__")) {
    return PyObject_GenericSetAttr(self, name, value);
  }
  PyErr_Format(PyExc_AttributeError, "'%s' object attribute '%U' is read-only",
               short_type_name(own), name);
  return -1;
}

// refuse(self, name[, value]): the above for the Python side, a deletion when
// `value` is missing. None when a descriptor took the assignment.
PyObject* refuse(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* self = nullptr;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTuple(args, "OO|O:refuse", &self, &name, &value)) return nullptr;
    if (refuse_as_cpython(self, name, value) < 0) return nullptr;
    Py_RETURN_NONE;
  });
}

PyMethodDef refuse_definition = {"refuse", method_pointer(&refuse), METH_VARARGS, nullptr};

// The methods, made by attribute_methods(base, refuse) for each base.
// __init_subclass__ gives object's own methods only to a subclass that
// CPython would give them to: not one with its own or a mixin's. (A mixin's
// __setattr__ after a base in the MRO, and a subclass created past a base
// whose __init_subclass__ skips super(), keep the slower way through ours.)
constexpr char methods_source[] = R"(
guarded = []


def defining_class(cls, name):
    # The class CPython takes attribute `name` of `cls` from: the guarded
    # bases have their own only on PyPy.
    for klass in cls.__mro__:
        if not any(klass is base for base in guarded) and name in vars(klass):
            return klass
    return None


def attribute_methods(base, refuse):
    guarded.append(base)

    def __setattr__(self, name, value):
        if type(self) is base:
            return refuse(self, name, value)
        super(base, self).__setattr__(name, value)

    def __delattr__(self, name):
        if type(self) is base:
            return refuse(self, name)
        super(base, self).__delattr__(name)

    def __init_subclass__(cls, **kwargs):
        super(base, cls).__init_subclass__(**kwargs)
        for name in ("__setattr__", "__delattr__"):
            if defining_class(cls, name) is object:
                setattr(cls, name, getattr(object, name))

    for method in (__setattr__, __delattr__, __init_subclass__):
        method.__qualname__ = base.__name__ + "." + method.__name__
    return __setattr__, __delattr__, classmethod(__init_subclass__)
)";

// The function attribute_methods above, defined once, in a namespace whose
// module name is "zolangpy" and which lives for the process. Null with an
// exception set on failure.
PyObject* attribute_methods_maker() {
  static PyObject* maker = nullptr;
  if (maker != nullptr) return maker;
  PyRef names = PyRef::steal(PyDict_New());
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  PyRef module_name = PyRef::steal(PyUnicode_FromString("zolangpy"));
  if (!names || !builtins || !module_name ||
      PyDict_SetItemString(names.get(), "__builtins__", builtins.get()) < 0 ||
      PyDict_SetItemString(names.get(), "__name__", module_name.get()) < 0) {
    return nullptr;
  }
  PyRef ran = PyRef::steal(PyRun_String(methods_source, Py_file_input, names.get(), names.get()));
  if (!ran) return nullptr;
  maker = PyMapping_GetItemString(names.get(), "attribute_methods");
  return maker;
}

}  // namespace

bool refuse_base_instance_attributes(PyObject* base) {
  PyObject* make = attribute_methods_maker();
  PyRef refuse_function = PyRef::steal(PyCFunction_New(&refuse_definition, nullptr));
  if (make == nullptr || !refuse_function) return false;
  PyRef methods =
      PyRef::steal(PyObject_CallFunctionObjArgs(make, base, refuse_function.get(), nullptr));
  PyObject* set = nullptr;  // borrowed from `methods`
  PyObject* del = nullptr;
  PyObject* init_subclass = nullptr;
  return methods && PyArg_ParseTuple(methods.get(), "OOO", &set, &del, &init_subclass) &&
         PyObject_SetAttrString(base, "__setattr__", set) == 0 &&
         PyObject_SetAttrString(base, "__delattr__", del) == 0 &&
         PyObject_SetAttrString(base, "__init_subclass__", init_subclass) == 0;
}

// --- Methods without arguments ---

PyObject* refuse_arguments(const char* name, Py_ssize_t count, PyObject* keywords) {
  if (keywords != nullptr && PyTuple_GET_SIZE(keywords) != 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", name, count);
  }
  return nullptr;
}

}  // namespace zolangpy

#endif
