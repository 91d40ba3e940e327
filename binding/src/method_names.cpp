#include "method_names.hpp"

namespace zolangpy {
namespace {

MethodNames names;

bool intern(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

}  // namespace

const MethodNames& method_names() { return names; }

bool intern_method_names() {
  return intern(names.check_syntax, "check_syntax") && intern(names.generate, "generate") &&
         intern(names.call, "call") && intern(names.terminate, "terminate") &&
         intern(names.get, "get") && intern(names.set, "set") &&
         intern(names.is_settable, "is_settable");
}

}  // namespace zolangpy
