// The zolangpy module: its definition and initialiser, which creates the
// classes in table order, adds each as an attribute and appends it to
// __all__. New classes join by adding a row to `classes`.
#include "compiler_type.hpp"
#include "interpreter_type.hpp"
#include "natives.hpp"
#include "py_ref.hpp"
#include "runtime.hpp"
#include "types.hpp"

namespace zolangpy {
namespace {

struct ClassEntry {
  const char* name;
  PyObject* (*create)();
  PyTypeObject* ModuleTypes::*slot;
};

constexpr ClassEntry classes[] = {
    {"Interpreter", create_interpreter_type, &ModuleTypes::interpreter},
    {"Compiler", create_compiler_type, &ModuleTypes::compiler},
    {"Arg", create_arg_type, &ModuleTypes::arg},
    {"Callable", create_callable_type, &ModuleTypes::callable},
    {"CallableGenerator", create_callable_generator_type, &ModuleTypes::callable_generator},
    {"Prop", create_prop_type, &ModuleTypes::prop},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "zolangpy",
    "A Python implementation of the Zo automation language. For a specification of the "
    "language, as\n"
    "well as an introduction to the external concepts, read the TODO docs.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds `object` as attribute `name` of `module`.
bool add_attribute(PyObject* module, const char* name, PyRef object) {
  if (PyModule_AddObject(module, name, object.get()) < 0) return false;
  object.release();  // stolen by PyModule_AddObject, which does so only on success
  return true;
}

// Adds `object` as attribute `name` and appends `name` to __all__, which the
// first addition creates.
bool add_public(PyObject* module, const char* name, PyObject* object) {
  if (!add_attribute(module, name, PyRef::borrow(object))) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || !add_attribute(module, "__all__", PyRef::borrow(all.get()))) return false;
  }
  PyRef entry = PyRef::steal(PyUnicode_FromString(name));
  return entry && PyList_Append(all.get(), entry.get()) == 0;
}

PyObject* initialise() {
  if (!intern_method_names()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create(&module_definition));
  if (!module) return nullptr;
  ModuleTypes& types = module_types();
  for (const ClassEntry& entry : classes) {
    // A second initialisation in one process reuses the classes of the
    // first: natives already registered hold instances of them.
    if (types.*entry.slot == nullptr) {
      PyObject* type = entry.create();
      if (type == nullptr) return nullptr;
      types.*entry.slot = reinterpret_cast<PyTypeObject*>(type);  // kept for the process
    }
    if (!add_public(module.get(), entry.name, reinterpret_cast<PyObject*>(types.*entry.slot))) {
      return nullptr;
    }
  }
  return module.release();
}

}  // namespace
}  // namespace zolangpy

PyMODINIT_FUNC PyInit_zolangpy() {
  return zolangpy::guarded([] { return zolangpy::initialise(); });
}
