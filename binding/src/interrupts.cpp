#include "interrupts.hpp"

#include "errors.hpp"
#include "gil.hpp"
#include "python.hpp"

#ifdef PYPY_VERSION
#include <chrono>

#include "py_ref.hpp"
#endif

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
