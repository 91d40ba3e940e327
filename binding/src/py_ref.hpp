// PyRef: the only owner of Python references in the binding. A raw PyObject*
// appears elsewhere only as a borrowed parameter or on its way into a call
// that steals it (release()). FetchedException: the pending exception, taken
// out as three such references.
#pragma once

#include <utility>

#include "python.hpp"
#include "runtime.hpp"

namespace zolangpy {

// Owns one strong reference, or nothing. Move-only; the destructor gives the
// reference back, so it must run with the GIL held (adapters that may be
// dropped without it hand their reference to release_later() instead), except
// on a thread the runtime is ending, which abandons it (see runtime.hpp).
class PyRef {
 public:
  PyRef() = default;
  // Adopts a new reference (the result of a call that returns one), or null.
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Takes an extra reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object(std::exchange(other.object, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    std::swap(object, other.object);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() {
    if (object != nullptr && !thread_exiting()) Py_DECREF(object);
  }

  PyObject* get() const { return object; }
  // Hands the reference over (to Python as a result, or to a stealing call).
  PyObject* release() { return std::exchange(object, nullptr); }
  explicit operator bool() const { return object != nullptr; }

 private:
  explicit PyRef(PyObject* adopted) : object(adopted) {}

  PyObject* object = nullptr;
};

// The pending exception, taken out of the thread's state: fetch() leaves none
// set, restore() sets it again and keeps nothing. Whatever is neither restored
// nor moved on is dropped with the references.
struct FetchedException {
  PyRef type;
  PyRef value;  // null when nothing was pending
  PyRef traceback;

  static FetchedException fetch() {
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    return {PyRef::steal(raw_type), PyRef::steal(raw_value), PyRef::steal(raw_traceback)};
  }

  // Makes `value` an instance of `type`; instantiating a bare exception class
  // runs its constructor, which may be host code.
  void normalize() {
    PyObject* raw_type = type.release();
    PyObject* raw_value = value.release();
    PyObject* raw_traceback = traceback.release();
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    type = PyRef::steal(raw_type);
    value = PyRef::steal(raw_value);
    traceback = PyRef::steal(raw_traceback);
  }

  void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }

  explicit operator bool() const { return static_cast<bool>(value); }
};

// A new reference to True or False. Cheaper than PyBool_FromLong on PyPy,
// where that is a call into the runtime.
inline PyObject* new_bool(bool value) {
  return PyRef::borrow(value ? Py_True : Py_False).release();
}

}  // namespace zolangpy
