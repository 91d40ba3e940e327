// Failures crossing the boundary. A library Error reaches Python as
// zolangpy.ZoError carrying its rendered text; a Python exception raised by
// host code reaches the library as a Native error carrying the exception's
// repr(). Neither exception type is a module attribute: both are created on
// first use and kept for the life of the process.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <string_view>
#include <type_traits>
#include <zolang/error.hpp>

#include "gil.hpp"
#include "python.hpp"
#include "recursion.hpp"

namespace zolangpy {

// Raises ZoError with the error's rendered text. Always returns nullptr, so a
// method can `return raise_error(...)`.
PyObject* raise_error(const zolang::Error& error);
// Raises ZoError with one of the binding's own fixed texts. Returns nullptr.
PyObject* raise_zo_error(std::string_view text);
// Raises zolangpy.InternalError, which derives directly from BaseException so
// that `except Exception` does not swallow a fault of the extension itself.
// Returns nullptr.
PyObject* raise_internal_error(std::string_view what);

// How an exception that host code raised reaches the caller of the call that
// was running (see HostExceptions): decided by its class, or always as itself
// (an exception raised by a signal handler at a check point).
enum class Passing { ByClass, Always };

// Takes the pending Python exception (one must be set) and returns the Native
// error carrying the repr() of the normalised instance. The exception is
// cleared, and kept by the thread's HostExceptions record if there is one. A
// repr() longer than 64 KiB is cut, and the cut marked "... [truncated from N
// bytes]".
zolang::Error error_from_python(Passing passing = Passing::ByClass);

// Runs one entry point from Python: marks the GIL as held, counts as one
// level of Python's recursion check (so that nothing inside runs out of stack
// in the runtime: see recursion.hpp), and turns a C++ exception (only
// allocation failure is expected) into InternalError, with the C API's
// failure result (nullptr or -1). The forced unwind of a thread that the
// runtime ends (see gil.hpp) goes through: it is not ours to stop, and
// stopping it aborts the process.
template <typename Body>
[[gnu::no_sanitize("undefined")]] auto guarded(Body&& body) -> decltype(body()) {  // see gil.hpp
  using Result = decltype(body());
  static_assert(std::is_pointer_v<Result> || std::is_same_v<Result, int>);
  GilHeld held;
  try {
    RecursionLevel level;
    if (level) return body();
  } catch (abi::__forced_unwind&) {
    note_thread_exit();
    throw;
  } catch (const std::exception& fault) {
    raise_internal_error(fault.what());
  } catch (...) {
    raise_internal_error("unknown C++ exception");
  }
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return -1;
  }
}

}  // namespace zolangpy
