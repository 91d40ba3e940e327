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

// The longest text a Native error carries. A repr() can be arbitrarily long,
// and a native that runs an interpreter that fails reports the inner ZoError's
// repr(), which escapes the text once more: unbounded, the text doubles with
// each level of nesting.
constexpr std::size_t native_text_limit = 64 * 1024;

// `text`, or its head with a mark saying how long it was, within the limit;
// the cut falls between UTF-8 sequences.
std::string bounded(std::string_view text) {
  if (text.size() <= native_text_limit) return std::string(text);
  std::string mark = "... [truncated from " + std::to_string(text.size()) + " bytes]";
  std::size_t cut = native_text_limit - mark.size();
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + mark;
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
  // Normalising instantiates a bare exception class: host code runs.
  running_python([&] { PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback); });
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

  PyRef text = PyRef::steal(running_python([&] { return PyObject_Repr(value.get()); }));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    // repr() itself failed; name the type at least, and report nothing more.
    PyErr_Clear();
    return kept(zolang::Error::native(std::string("<unprintable ") +
                                      short_type_name(Py_TYPE(value.get())) + ">"));
  }
  return kept(
      zolang::Error::native(bounded(std::string_view(utf8, static_cast<std::size_t>(size)))));
}

}  // namespace zolangpy
