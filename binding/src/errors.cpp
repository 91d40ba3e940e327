// ZoError and InternalError, the Native error a Python exception becomes, the
// record that keeps such exceptions for the length of a call, and the signal
// check the interpreter makes at its check points.
#include "errors.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "runtime.hpp"
#include "types.hpp"

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
  FetchedException exception = FetchedException::fetch();
  // Normalising instantiates a bare exception class: host code runs.
  running_python([&] { exception.normalize(); });
  if (!exception) return zolang::Error::native("<unknown exception>");
  // Hands the exception to the call's record along with the error it became.
  auto kept = [&](zolang::Error error) {
    if (HostExceptions* record = HostExceptions::current()) {
      record->keep(std::move(exception), error, passing == Passing::Always);
    }
    return error;
  };

  PyRef text = PyRef::steal(running_python([&] { return PyObject_Repr(exception.value.get()); }));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    // repr() itself failed; name the type at least, and report nothing more.
    PyErr_Clear();
    return kept(zolang::Error::native(std::string("<unprintable ") +
                                      short_type_name(Py_TYPE(exception.value.get())) + ">"));
  }
  return kept(
      zolang::Error::native(bounded(std::string_view(utf8, static_cast<std::size_t>(size)))));
}

}  // namespace zolangpy

// --- Host exceptions ---

namespace zolangpy {

struct HostExceptions::Kept {
  FetchedException leaving;
  std::optional<zolang::Error> leaving_error;
  FetchedException cause;
  std::string cause_text;
};

constinit thread_local HostExceptions* current_host_exceptions = nullptr;

void HostExceptions::DropKept::operator()(Kept* kept) const { delete kept; }

void HostExceptions::keep(FetchedException exception, const zolang::Error& error,
                          bool pass_through) {
  if (!exception) return;
  if (kept == nullptr) kept.reset(new Kept());
  // The traceback goes with the instance, so that it shows as the cause's.
  if (exception.traceback) {
    PyException_SetTraceback(exception.value.get(), exception.traceback.get());
  }
  if (!pass_through) {
    pass_through = !PyErr_GivenExceptionMatches(exception.value.get(), PyExc_Exception);
  }
  if (pass_through) {
    if (kept->leaving) return;
    kept->leaving = std::move(exception);
    kept->leaving_error = error;
    leaving_error = &*kept->leaving_error;
  } else if (!kept->cause) {
    kept->cause = std::move(exception);
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
  FetchedException raised = FetchedException::fetch();
  raised.normalize();
  // Steals the reference, and marks the context as suppressed as `raise
  // ... from` does.
  if (raised) PyException_SetCause(raised.value.get(), kept->cause.value.release());
  raised.restore();
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

// --- Signals ---

namespace zolangpy {
namespace {

#ifdef PYPY_VERSION

// How often a long call lets PyPy run its signal handlers.
constexpr std::chrono::milliseconds poll_period{2};

// The main thread's ident and a ready call of signal.pthread_kill(ident, 0),
// made on first use and kept for the life of the process. Null when either
// cannot be had, and then no polling is done.
struct SignalPoll {
  unsigned long main_thread = 0;
  PyObject* function = nullptr;
  PyObject* arguments = nullptr;
};

PyRef attribute_of_module(const char* module, const char* name) {
  PyRef imported = PyRef::steal(PyImport_ImportModule(module));
  if (!imported) return {};
  return PyRef::steal(PyObject_GetAttrString(imported.get(), name));
}

SignalPoll make_signal_poll() {
  SignalPoll poll;
  PyRef main_thread = attribute_of_module("threading", "main_thread");
  PyRef thread = main_thread ? PyRef::steal(PyObject_CallNoArgs(main_thread.get())) : PyRef();
  PyRef ident = thread ? PyRef::steal(PyObject_GetAttrString(thread.get(), "ident")) : PyRef();
  PyRef function = attribute_of_module("signal", "pthread_kill");
  PyRef arguments =
      ident && function ? PyRef::steal(Py_BuildValue("(Oi)", ident.get(), 0)) : PyRef();
  if (!arguments) {
    PyErr_Clear();
    return poll;
  }
  poll.main_thread = PyLong_AsUnsignedLong(ident.get());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return poll;
  }
  poll.function = function.release();
  poll.arguments = arguments.release();
  return poll;
}

[[nodiscard]] std::expected<void, zolang::Error> run_pending_handlers() {
  // Only the stepping thread reads it; a thread that is not the main thread
  // has no handlers to run and stops here after its first period.
  thread_local std::chrono::steady_clock::time_point last_poll{};
  auto now = std::chrono::steady_clock::now();
  if (now - last_poll < poll_period) return {};
  last_poll = now;
  // Made under the GIL rather than behind a static guard: the imports may
  // release the GIL, and a thread waiting on the guard would hold it. The
  // imports may also run Python code that steps another interpreter, which
  // then finds it in the making and skips this poll.
  enum class State { Unknown, Making, Made };
  static State state = State::Unknown;
  static SignalPoll poll;
  if (state == State::Unknown) {
    state = State::Making;
    poll = make_signal_poll();
    state = State::Made;
  }
  if (state != State::Made || poll.function == nullptr ||
      static_cast<unsigned long>(PyThread_get_thread_ident()) != poll.main_thread) {
    return {};
  }
  PyRef result = PyRef::steal(
      running_python([&] { return PyObject_Call(poll.function, poll.arguments, nullptr); }));
  if (result) return {};
  return std::unexpected(error_from_python(Passing::Always));
}

#else

[[nodiscard]] std::expected<void, zolang::Error> run_pending_handlers() {
  if (running_python([] { return PyErr_CheckSignals(); }) == 0) return {};
  return std::unexpected(error_from_python(Passing::Always));
}

#endif

}  // namespace

[[nodiscard]] std::expected<void, zolang::Error> check_signals() {
  // The interpreter is only stepped from methods that hold the GIL; this
  // keeps a step from any other path from touching Python.
  if (!gil_held()) return {};
  return run_pending_handlers();
}

}  // namespace zolangpy
