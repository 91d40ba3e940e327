#include "compiler_type.hpp"

#include "borrow.hpp"
#include "errors.hpp"
#include "registration.hpp"
#include "type_support.hpp"

namespace zolangpy {
namespace {

struct CompilerObject {
  PyObject header;
  BorrowFlag use;
};

PyObject* compiler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    char* no_names[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":Compiler", no_names)) return nullptr;
    return reinterpret_cast<PyObject*>(allocate<CompilerObject>(
        type, [](CompilerObject& object) { new (&object.use) BorrowFlag(); }));
  });
}

PyMethodDef compiler_methods[] = {
    {"check_if_prop", method_pointer(&check_if_prop), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     check_if_prop_doc},
    {"check_if_callable", method_pointer(&check_if_callable),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, check_if_callable_doc},
#ifdef PYPY_VERSION
    {"__init_subclass__", method_pointer(&refuse_subclass),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot compiler_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Compiler()\n--\n\n"
         "A compiler for the Zo language.\n\n"
         "The compiler performs syntax checking and name resolution, and stores a text-based\n"
         "intermediate representation (IR) that the Zo interpreter executes. A `Compiler`\n"
         "converts directly to an `Interpreter` with `into_interpreter`, or to raw IR with\n"
         "`into_raw`. Custom `Callable`s and `Prop`s must be registered with the compiler (the\n"
         "`register_*` methods) before a program can use them.")},
    {Py_tp_new, slot_pointer(&compiler_new)},
    {Py_tp_dealloc, slot_pointer(&deallocate<CompilerObject>)},
    {Py_tp_setattro, slot_pointer(&refuse_attribute)},
    {Py_tp_methods, compiler_methods},
    {0, nullptr},
};

}  // namespace

PyObject* create_compiler_type() {
  static PyType_Spec spec = {"zolangpy.Compiler", sizeof(CompilerObject), 0, Py_TPFLAGS_DEFAULT,
                             compiler_slots};
  return create_type(spec);
}

}  // namespace zolangpy
