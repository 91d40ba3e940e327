#include "convert.hpp"

#include <cstring>
#include <string>

#include "errors.hpp"
#include "type_support.hpp"

namespace zolangpy {
namespace {

// numpy's boolean scalar, recognised by name so that numpy is never imported:
// "numpy.bool_" (or "numpy.bool" in numpy 2). The cheap check on the type's
// own name comes first, so ordinary results pay a string comparison only.
bool is_numpy_bool(PyTypeObject* type) {
  const char* name = short_type_name(type);
  if (std::strcmp(name, "bool_") != 0 && std::strcmp(name, "bool") != 0) return false;
  PyRef module = PyRef::steal(running_python(
      [&] { return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"); }));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

enum class Truth { NotBoolean, False, True, Failed };

// Reads a bool or numpy's boolean; numpy's goes through its __bool__, which
// can fail (Failed, with the exception set).
Truth read_boolean(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True ? Truth::True : Truth::False;
  if (!is_numpy_bool(Py_TYPE(object))) return Truth::NotBoolean;
  int truth = running_python([&] { return PyObject_IsTrue(object); });
  if (truth < 0) return Truth::Failed;
  return truth > 0 ? Truth::True : Truth::False;
}

zolang::Error cast_error(PyObject* object, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'",
               short_type_name(Py_TYPE(object)), target);
  return error_from_python();
}

void raise_argument_error(PyObject* object, const char* name, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be cast as '%s'", name,
               short_type_name(Py_TYPE(object)), target);
}

}  // namespace

PyRef value_to_python(const zolang::Value& value) {
  switch (value.kind()) {
    case zolang::Value::Kind::Number:
      return PyRef::steal(PyFloat_FromDouble(value.as_number()));
    case zolang::Value::Kind::String: {
      std::string_view text = value.as_string();
      // Library strings come from Python str or UTF-8 source, so "replace"
      // never triggers in practice; it keeps a stray byte from failing a run.
      return PyRef::steal(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    }
    case zolang::Value::Kind::Boolean:
      return PyRef::borrow(value.as_boolean() ? Py_True : Py_False);
    case zolang::Value::Kind::Nil:
      return PyRef::borrow(Py_None);
  }
  return PyRef::borrow(Py_None);
}

[[nodiscard]] std::expected<zolang::Value, zolang::Error> value_from_python(PyObject* object) {
  switch (read_boolean(object)) {
    case Truth::True:
      return zolang::Value::boolean(true);
    case Truth::False:
      return zolang::Value::boolean(false);
    case Truth::Failed:
      PyErr_Clear();
      break;
    case Truth::NotBoolean:
      break;
  }

  double number = running_python([&] { return PyFloat_AsDouble(object); });
  if (number != -1.0 || !PyErr_Occurred()) return zolang::Value::number(number);
  PyErr_Clear();

  if (object == Py_None) return zolang::Value::nil();
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text != nullptr) {
      return zolang::Value::string(std::string_view(text, static_cast<std::size_t>(size)));
    }
    PyErr_Clear();
  }
  PyErr_SetString(PyExc_TypeError, "Only primitive types allowed");
  return std::unexpected(error_from_python());
}

[[nodiscard]] std::expected<bool, zolang::Error> bool_from_python(PyObject* object,
                                                                  std::optional<bool> none_value) {
  if (object == Py_None && none_value) return *none_value;
  switch (read_boolean(object)) {
    case Truth::True:
      return true;
    case Truth::False:
      return false;
    case Truth::Failed:
      return std::unexpected(error_from_python());
    case Truth::NotBoolean:
      break;
  }
  return std::unexpected(cast_error(object, "bool"));
}

std::optional<std::string_view> string_argument(PyObject* object, const char* name) {
  if (!PyUnicode_Check(object)) {
    raise_argument_error(object, name, "str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(size));
}

bool list_argument(PyObject* object, const char* name) {
  if (PyList_Check(object)) return true;
  raise_argument_error(object, name, "list");
  return false;
}

bool parse_arguments(PyObject* args, PyObject* kwargs, const char* function,
                     std::initializer_list<Parameter> parameters, std::size_t required) {
  // The C API's keyword list is not const-correct before Python 3.13.
  char* names[3] = {nullptr, nullptr, nullptr};
  PyObject** outs[2] = {nullptr, nullptr};
  std::string format;
  std::size_t count = 0;
  for (const Parameter& parameter : parameters) {
    if (count == required) format += '|';
    format += 'O';
    names[count] = const_cast<char*>(parameter.name);
    outs[count] = parameter.out;
    ++count;
  }
  format += ':';
  format += function;
  if (count == 1) return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), names, outs[0]);
  return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), names, outs[0], outs[1]);
}

}  // namespace zolangpy
