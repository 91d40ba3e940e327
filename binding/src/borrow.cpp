#include "borrow.hpp"

#include <unordered_map>

namespace zolangpy {
namespace {

// Flags of table-kept objects in use; node-based, so a flag's address stays
// put while other entries come and go.
std::unordered_map<PyObject*, BorrowFlag>& flag_table() {
  static std::unordered_map<PyObject*, BorrowFlag> table;
  return table;
}

}  // namespace

Use Use::exclusive(BorrowFlag& flag) {
  if (flag.uses != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return Use(nullptr);
  }
  flag.uses = -1;
  return Use(&flag);
}

Use Use::shared(BorrowFlag& flag) {
  if (flag.uses < 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return Use(nullptr);
  }
  ++flag.uses;
  return Use(&flag);
}

Use Use::exclusive(PyObject* object) {
  auto [entry, added] = flag_table().try_emplace(object);
  Use use = exclusive(entry->second);
  if (use) use.key = object;
  return use;
}

Use Use::shared(PyObject* object) {
  auto [entry, added] = flag_table().try_emplace(object);
  Use use = shared(entry->second);
  if (use) use.key = object;
  return use;
}

Use::~Use() {
  if (flag == nullptr) return;
  if (flag->uses < 0) {
    flag->uses = 0;
  } else {
    --flag->uses;
  }
  if (key != nullptr && flag->uses == 0) flag_table().erase(key);
}

}  // namespace zolangpy
