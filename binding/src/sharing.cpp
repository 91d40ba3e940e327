#include "sharing.hpp"

#include <thread>
#include <zolang/interpreter.hpp>

#include "errors.hpp"
#include "py_ref.hpp"
#include "python.hpp"
#include "runtime.hpp"

namespace zolangpy {
namespace {

using Clock = std::chrono::steady_clock;

// How long the GIL stays free when another thread may want it. Neither
// runtime hands the lock over to a waiter on release: CPython wakes it, but
// a thread that takes the lock straight back wins the race, and PyPy's
// waiters look again only every tenth of a millisecond. So the stepping
// thread sleeps past that, once per interval; a waiter that took the lock
// then runs until it blocks or its own interval ends.
constexpr std::chrono::microseconds hand_over{150};

// sys.getswitchinterval(), read again at every let-go so that a host that
// changes it is followed; 5 ms (Python's default) until first read.
Clock::duration switch_interval = std::chrono::milliseconds(5);
bool interval_read = false;

PyObject* module_function(const char* module, const char* name) {
  PyRef imported = PyRef::steal(PyImport_ImportModule(module));
  if (!imported) return nullptr;
  return PyObject_GetAttrString(imported.get(), name);
}

// Calls module.name() once the function is found (kept for the life of the
// process); a float result, or -1 when it cannot be had. A function that
// cannot be found is passed over (its error cleared), but an exception from
// the call stays set: running Python code runs pending signal handlers, and
// what they raise must reach the host rather than vanish here.
double call_number(PyObject*& function, const char* module, const char* name) {
  if (function == nullptr) function = module_function(module, name);
  if (function == nullptr) {
    PyErr_Clear();
    return -1.0;
  }
  PyRef result = PyRef::steal(running_python([&] { return PyObject_CallNoArgs(function); }));
  if (!result) return -1.0;
  double number = PyFloat_AsDouble(result.get());
  return PyErr_Occurred() ? -1.0 : number;
}

void read_switch_interval() {
  static PyObject* getter = nullptr;
  if (PyErr_Occurred()) return;
  double seconds = call_number(getter, "sys", "getswitchinterval");
  if (seconds > 0 && seconds < 3600) {
    switch_interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }
  interval_read = true;
}

// Whether another Python thread exists that could want the lock. Threads
// that Python code never saw are not counted; they do not wait for it.
bool others_may_wait() {
  static PyObject* counter = nullptr;
  return call_number(counter, "threading", "active_count") != 1.0;
}

void let_go() {
  bool others = others_may_wait();
  {
    GilRelease released;
    if (others) std::this_thread::sleep_for(hand_over);
  }
  read_switch_interval();
}

std::expected<void, zolang::Error> raised_here() {
  if (!PyErr_Occurred()) return {};
  return std::unexpected(error_from_python(Passing::Always));
}

}  // namespace

std::expected<void, zolang::Error> ThreadSharing::at_check_point() {
  if (!gil_held() || zolang::Interpreter::in_native_call()) return {};
  Clock::time_point now = Clock::now();
  if (!started) {
    started = true;
    since = now;
    if (!interval_read) read_switch_interval();
    return raised_here();
  }
  if (now - since < switch_interval) return {};
  let_go();
  since = Clock::now();
  return raised_here();
}

}  // namespace zolangpy
