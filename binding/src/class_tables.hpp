// The two kinds of class in the module, and the table rows that every class
// of a kind shares, written once. A class lists its own rows; the helpers
// append its kind's rows and the terminating empty row.
//
// Closed classes (Interpreter, Compiler, Arg) carry a payload, and Python
// may neither subclass them nor give their instances attributes. CPython
// enforces both by the type's flags and layout; PyPy 7.3.11 ignores the
// missing Py_TPFLAGS_BASETYPE and gives every extension object a __dict__,
// so there the refusals are spelled out, along with the refusals of copying
// and of __class__ assignment.
//
// Base classes (Callable, CallableGenerator, Prop) keep object's layout, so
// that a host's class may derive from several (on PyPy, see also
// base_attributes.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

#include "python.hpp"
#include "type_support.hpp"

namespace zolangpy {

// tp_setattro of the closed classes: every attribute assignment or deletion
// raises AttributeError.
int refuse_attribute(PyObject* self, PyObject* name, PyObject* value);
// __init_subclass__ (a class method) of the closed classes on PyPy: raises
// TypeError naming the base.
PyObject* refuse_subclass(PyObject* subclass, PyObject* args, PyObject* kwargs);

#ifdef PYPY_VERSION
// What CPython enforces by layout and PyPy lets through, refused by hand for
// the closed classes:
//
// Method-table rows for __reduce_ex__, __copy__ and __deepcopy__: each raises
// TypeError "cannot pickle '{Class}' object", as CPython does, where PyPy
// would rebuild an empty object (losing the program and registrations) or one
// that was never built. `name` is one of the three.
PyMethodDef copy_refusal(const char* name);
// A getset row for __class__: reads as usual; assignment is refused with
// CPython's TypeError. (The base classes go without: a descriptor there would
// make every read of __class__ on a host's native a call into C. Their
// instances carry no payload, and one whose class is set to Interpreter, say,
// is refused at its first use.)
PyGetSetDef class_assignment_guard();
#endif

namespace detail {

// `own` followed by `shared` and a value-initialised row, which ends every
// table of the C API.
template <typename Row, std::size_t N, std::size_t M>
std::array<Row, N + M + 1> joined(const Row (&own)[N], const std::array<Row, M>& shared) {
  std::array<Row, N + M + 1> table{};
  std::copy(own, own + N, table.begin());
  std::copy(shared.begin(), shared.end(), table.begin() + N);
  return table;
}

// `shared` and the terminating row, for a class with no rows of its own.
template <typename Row, std::size_t M>
std::array<Row, M + 1> joined(const std::array<Row, M>& shared) {
  std::array<Row, M + 1> table{};
  std::copy(shared.begin(), shared.end(), table.begin());
  return table;
}

#ifdef PYPY_VERSION
inline std::array<PyMethodDef, 4> closed_method_rows() {
  return {{
      {"__init_subclass__", method_pointer(&refuse_subclass),
       METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
      copy_refusal("__reduce_ex__"),
      copy_refusal("__copy__"),
      copy_refusal("__deepcopy__"),
  }};
}
inline std::array<PyGetSetDef, 1> closed_getset_rows() { return {class_assignment_guard()}; }
#else
inline std::array<PyMethodDef, 0> closed_method_rows() { return {}; }
inline std::array<PyGetSetDef, 0> closed_getset_rows() { return {}; }
#endif

inline std::array<PyType_Slot, 1> base_slot_rows() {
  return {{{Py_tp_dealloc, slot_pointer(&deallocate)}}};
}
inline std::array<PyType_Slot, 2> closed_slot_rows() {
  return {{{Py_tp_dealloc, slot_pointer(&deallocate)},
           {Py_tp_setattro, slot_pointer(&refuse_attribute)}}};
}

}  // namespace detail

// The tables of a closed class: its own rows, then the shared ones.
template <std::size_t N>
auto closed_class_methods(const PyMethodDef (&own)[N]) {
  return detail::joined(own, detail::closed_method_rows());
}
template <std::size_t N>
auto closed_class_getset(const PyGetSetDef (&own)[N]) {
  return detail::joined(own, detail::closed_getset_rows());
}
inline auto closed_class_getset() { return detail::joined(detail::closed_getset_rows()); }
template <std::size_t N>
auto closed_class_slots(const PyType_Slot (&own)[N]) {
  return detail::joined(own, detail::closed_slot_rows());
}

// The tables of a base class: its own rows, then the shared ones.
template <std::size_t N>
auto base_class_methods(const PyMethodDef (&own)[N]) {
  return detail::joined(own, std::array<PyMethodDef, 0>{});
}
template <std::size_t N>
auto base_class_slots(const PyType_Slot (&own)[N]) {
  return detail::joined(own, detail::base_slot_rows());
}

}  // namespace zolangpy
