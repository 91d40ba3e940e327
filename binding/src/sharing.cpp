// Letting the GIL go during a long run() or stop(): when the switch interval
// has passed, whether any other thread could be waiting for the lock, and
// how long to stay away so that one that is gets it.
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
// process); null when it cannot be had. A function that cannot be found is
// passed over (its error cleared), but an exception from the call stays set:
// running Python code runs pending signal handlers, and what they raise must
// reach the host rather than vanish here.
PyRef call_function(PyObject*& function, const char* module, const char* name) {
  if (function == nullptr) function = module_function(module, name);
  if (function == nullptr) {
    PyErr_Clear();
    return {};
  }
  return PyRef::steal(running_python([&] { return PyObject_CallNoArgs(function); }));
}

// The same for a function that answers a number: -1 when it cannot be had.
double call_number(PyObject*& function, const char* module, const char* name) {
  PyRef result = call_function(function, module, name);
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

// Whether the calling thread is Python's main thread; false when that cannot
// be told. Asked afresh each time, so that a forked child is followed.
bool on_main_thread() {
  static PyObject* getter = nullptr;
  PyRef thread = call_function(getter, "threading", "main_thread");
  if (!thread) return false;
  PyRef ident = PyRef::steal(PyObject_GetAttrString(thread.get(), "ident"));
  unsigned long main = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return main == static_cast<unsigned long>(PyThread_get_thread_ident());
}

// Whether another Python thread could want the lock. _thread._count() counts
// every thread started through _thread, which threading uses as well, so
// threads that threading never heard of count too; it leaves out the main
// thread, which may be waiting whenever the step runs on another one. When
// in doubt, someone may wait.
bool others_may_wait() {
  static PyObject* counter = nullptr;
  if (!on_main_thread()) return true;
  return call_number(counter, "_thread", "_count") != 0.0;
}

// Some waiters are counted nowhere: a thread just started through _thread
// is counted only once it has held the lock, and a thread that C code made
// enters Python through PyGILState_Ensure. The lock is handed over at least
// this often even when nobody seems to wait, so that they get in.
constexpr std::chrono::milliseconds unseen_waiters_bound{100};
// When the lock was last handed over; only touched with the lock held.
Clock::time_point last_hand_over{};

void let_go(Clock::time_point now) {
  bool others = others_may_wait() || now - last_hand_over >= unseen_waiters_bound;
  {
    GilRelease released;
    if (others) std::this_thread::sleep_for(hand_over);
  }
  if (others) last_hand_over = Clock::now();
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
  let_go(now);
  since = Clock::now();
  return raised_here();
}

}  // namespace zolangpy
