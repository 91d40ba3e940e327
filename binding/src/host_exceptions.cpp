#include "host_exceptions.hpp"

#include <optional>
#include <string>
#include <utility>

#include "errors.hpp"

namespace zolangpy {
namespace {

struct Exception {
  PyRef type;
  PyRef value;
  PyRef traceback;

  explicit operator bool() const { return static_cast<bool>(value); }
  // Sets it as the pending exception; nothing is kept.
  void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

}  // namespace

struct HostExceptions::Kept {
  Exception leaving;
  std::optional<zolang::Error> leaving_error;
  Exception cause;
  std::string cause_text;
};

constinit thread_local HostExceptions* current_host_exceptions = nullptr;

void HostExceptions::DropKept::operator()(Kept* kept) const { delete kept; }

void HostExceptions::keep(PyRef type, PyRef value, PyRef traceback, const zolang::Error& error,
                          bool pass_through) {
  if (!value) return;
  if (kept == nullptr) kept.reset(new Kept());
  // The traceback goes with the instance, so that it shows as the cause's.
  if (traceback) PyException_SetTraceback(value.get(), traceback.get());
  if (!pass_through) pass_through = !PyErr_GivenExceptionMatches(value.get(), PyExc_Exception);
  if (pass_through) {
    if (kept->leaving) return;
    kept->leaving = {std::move(type), std::move(value), std::move(traceback)};
    kept->leaving_error = error;
    leaving_error = &*kept->leaving_error;
  } else if (!kept->cause) {
    kept->cause = {std::move(type), std::move(value), std::move(traceback)};
    kept->cause_text = error.text;
  }
}

PyObject* HostExceptions::raise(const zolang::Error& error) {
  if (raise_leaving()) return nullptr;
  raise_error(error);
  if (kept == nullptr || !kept->cause || error.kind != zolang::ErrorKind::Native ||
      error.text != kept->cause_text) {
    return nullptr;
  }
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // Steals the reference, and marks the context as suppressed as `raise
  // ... from` does.
  if (value != nullptr) PyException_SetCause(value, kept->cause.value.release());
  PyErr_Restore(type, value, traceback);
  return nullptr;
}

bool HostExceptions::restore_leaving() {
  if (!kept->leaving) return false;
  kept->leaving.restore();
  leaving_error = nullptr;
  kept->leaving_error.reset();
  return true;
}

}  // namespace zolangpy
