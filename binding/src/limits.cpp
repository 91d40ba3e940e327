#include "limits.hpp"

#include <cmath>
#include <cstdint>

#include "py_ref.hpp"
#include "type_support.hpp"

namespace zolangpy {
namespace {

using zolang::Limits;

// An int, but not a bool: True is not a budget anyone means.
bool is_integer(PyObject* object) { return PyLong_Check(object) && !PyBool_Check(object); }

void raise_type_error(PyObject* object, const char* name, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be cast as '%s'", name,
               short_type_name(Py_TYPE(object)), target);
}

bool read_instructions(PyObject* object, Limits& limits) {
  if (object == nullptr || object == Py_None) return true;
  // Any integer, as range() takes them (numpy's too), but not a bool.
  if (PyBool_Check(object) || !PyIndex_Check(object)) {
    raise_type_error(object, "instructions", "int");
    return false;
  }
  PyRef integer = PyRef::steal(PyNumber_Index(object));
  if (!integer) return false;
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_Format(PyExc_ValueError, "argument 'instructions': must not be negative, got %R", object);
    return false;
  }
  // Beyond the range of a long long is more than any run can spend.
  if (overflow == 0) limits.instructions = static_cast<std::uint64_t>(value);
  return true;
}

bool read_seconds(PyObject* object, Limits& limits) {
  if (object == nullptr || object == Py_None) return true;
  if (!PyFloat_Check(object) && !is_integer(object)) {
    raise_type_error(object, "seconds", "float");
    return false;
  }
  double seconds = 0;
  if (is_integer(object)) {
    int overflow = 0;
    long long whole = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (whole == -1 && PyErr_Occurred()) return false;
    if (overflow > 0) return true;  // more seconds than a long long holds: no limit
    seconds = overflow < 0 ? -1.0 : static_cast<double>(whole);
  } else {
    seconds = PyFloat_AsDouble(object);
  }
  if (std::isnan(seconds)) {
    PyErr_SetString(PyExc_ValueError, "argument 'seconds': must be a number, not NaN");
    return false;
  }
  if (seconds < 0) {
    PyErr_Format(PyExc_ValueError, "argument 'seconds': must not be negative, got %R", object);
    return false;
  }
  // Nanoseconds up to a century; anything longer (infinity included) is no limit.
  constexpr double century = 100.0 * 365 * 24 * 3600;
  if (seconds <= century) {
    limits.time = std::chrono::nanoseconds(static_cast<std::int64_t>(std::ceil(seconds * 1e9)));
  }
  return true;
}

bool read_memory(PyObject* object, Limits& limits) {
  if (object == nullptr || object == Py_None) return true;
  if (PyBool_Check(object) || !PyIndex_Check(object)) {
    raise_type_error(object, "memory", "int");
    return false;
  }
  PyRef integer = PyRef::steal(PyNumber_Index(object));
  if (!integer) return false;
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_Format(PyExc_ValueError, "argument 'memory': must not be negative, got %R", object);
    return false;
  }
  // More bytes than a long long holds is no limit.
  if (overflow == 0) limits.memory = static_cast<std::uint64_t>(value);
  return true;
}

}  // namespace

std::optional<Limits> parse_limits(PyObject* args, PyObject* kwargs) {
  // The C API's keyword list is not const-correct before Python 3.13.
  char instructions_name[] = "instructions";
  char seconds_name[] = "seconds";
  char memory_name[] = "memory";
  char* names[] = {instructions_name, seconds_name, memory_name, nullptr};
  PyObject* instructions = nullptr;
  PyObject* seconds = nullptr;
  PyObject* memory = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOO:Interpreter.set_limits", names,
                                   &instructions, &seconds, &memory)) {
    return std::nullopt;
  }
  Limits limits;
  if (!read_instructions(instructions, limits) || !read_seconds(seconds, limits) ||
      !read_memory(memory, limits)) {
    return std::nullopt;
  }
  return limits;
}

}  // namespace zolangpy
