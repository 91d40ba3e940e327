#include "errors.hpp"

#include <string>

#include "host_exceptions.hpp"
#include "py_ref.hpp"
#include "type_support.hpp"

namespace zolangpy {
namespace {

// Created once per process on first use; never released, since any ZoError
// instance alive anywhere keeps pointing at it.
// Only touched with the GIL held, which serialises the first creation.
PyObject* zo_error_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyErr_NewException("zolangpy.ZoError", nullptr, nullptr);
  return type;
}

PyObject* internal_error_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("zolangpy.InternalError", PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_with(PyObject* type, std::string_view text) {
  // Creating the type can fail (memory); its exception is then the one raised.
  if (type == nullptr) return nullptr;
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  PyErr_SetObject(type, message.get());
  return nullptr;
}

}  // namespace

PyObject* raise_error(const zolang::Error& error) {
  return raise_with(zo_error_type(), error.render());
}

PyObject* raise_zo_error(std::string_view text) { return raise_with(zo_error_type(), text); }

PyObject* raise_internal_error(std::string_view what) {
  return raise_with(internal_error_type(), what);
}

zolang::Error error_from_python(Passing passing) {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  PyRef type = PyRef::steal(raw_type);
  PyRef value = PyRef::steal(raw_value);
  PyRef traceback = PyRef::steal(raw_traceback);
  if (!value) return zolang::Error::native("<unknown exception>");
  // Hands the exception to the call's record along with the error it became.
  auto kept = [&](zolang::Error error) {
    if (HostExceptions* record = HostExceptions::current()) {
      record->keep(std::move(type), std::move(value), std::move(traceback), error,
                   passing == Passing::Always);
    }
    return error;
  };

  PyRef text = PyRef::steal(PyObject_Repr(value.get()));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    // repr() itself failed; name the type at least, and report nothing more.
    PyErr_Clear();
    return kept(zolang::Error::native(std::string("<unprintable ") +
                                      short_type_name(Py_TYPE(value.get())) + ">"));
  }
  return kept(zolang::Error::native(std::string(utf8, static_cast<std::size_t>(size))));
}

}  // namespace zolangpy
