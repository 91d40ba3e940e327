// Conversions between library values and Python objects, and the checks on
// arguments that Python passes in. Checks that fail raise TypeError with the
// binding's wording, "argument '{name}': '{type}' object cannot be cast as
// '{target}'", where the target is the Python type wanted by its own name
// ('str', 'list', 'bool'), never the C API's.
//
// Also the two places where arguments and results are more than one value:
// the limits Interpreter.set_limits reads, and the diagnostics dicts
// (Compiler.diagnostics, Interpreter.last_error, Interpreter.call_site), in
// which unknown places are None.
#pragma once

#include <cstddef>
#include <expected>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <vector>
#include <zolang/debug.hpp>
#include <zolang/error.hpp>
#include <zolang/interpreter.hpp>
#include <zolang/outline.hpp>
#include <zolang/value.hpp>

#include "py_ref.hpp"
#include "python.hpp"

namespace zolangpy {

// A float for a number (always a float: 3 arrives as 3.0), a str, True or
// False, None. Null only when Python is out of memory (exception set).
PyRef value_to_python(const zolang::Value& value);

// Tries, in order: bool (numpy's boolean too), float conversion, None, str.
// Anything else is the Native error TypeError('Only primitive types allowed');
// the failures of earlier tries are discarded. No exception is left set.
[[nodiscard]] std::expected<zolang::Value, zolang::Error> value_from_python(PyObject* object);

// A native's answer of "complete?" or "settable?": a bool (or numpy's boolean)
// gives its value, None gives `none_value` when given; anything else is the
// Native error TypeError("'{type}' object cannot be cast as 'bool'").
[[nodiscard]] std::expected<bool, zolang::Error> bool_from_python(PyObject* object,
                                                                  std::optional<bool> none_value);

// The UTF-8 text of a str argument; the view lives as long as `object`. Null
// with TypeError raised for any other type (or a str that cannot be encoded).
std::optional<std::string_view> string_argument(PyObject* object, const char* name);
// Raises TypeError unless `object` is a list; returns whether it is.
bool list_argument(PyObject* object, const char* name);
// The source lines of a list argument, each an int from 1 up (not a bool, nor
// a float that PyPy's conversion would truncate). False with the error raised.
bool line_list_argument(PyObject* object, const char* name, std::vector<std::uint32_t>& lines);

// One parameter of a method taking arguments by position or keyword.
struct Parameter {
  const char* name;
  PyObject** out;  // receives a borrowed reference; left alone when omitted
};

// Parses up to two arguments, the first `required` of them mandatory, with
// the platform's standard messages naming `function` ("Class.method").
// Returns false with TypeError raised.
bool parse_arguments(PyObject* args, PyObject* kwargs, const char* function,
                     std::initializer_list<Parameter> parameters, std::size_t required);

// --- Limits ---

// The arguments of Interpreter.set_limits(*, instructions=None, seconds=None,
// memory=None).
// Reads the keyword-only arguments; None (or leaving one out) is no limit.
// `instructions` and `memory` (bytes) must be ints of at least 0, `seconds`
// an int or float of at least 0 (infinity is no limit). Otherwise TypeError or ValueError is
// raised, naming the argument, and the result is empty.
std::optional<zolang::Limits> parse_limits(PyObject* args, PyObject* kwargs);

// --- Diagnostics ---

// {"text", "message", "line", "column", "end_line", "end_column", "notes"},
// notes being a list of (message, line, column) tuples. Null with an
// exception set when Python is out of memory.
PyRef diagnostic_to_python(const zolang::Error& error);

// {"text", "address", "line", "column", "trace"}, the trace being a list of
// (group, line) tuples, outermost first. Null with an exception set when
// Python is out of memory.
PyRef failure_to_python(const zolang::Failure& failure);

// {"address", "line", "column", "context", "group"} of the native call a
// native serves (see Interpreter.call_site). Null with an exception set when
// Python is out of memory.
PyRef call_site_to_python(const zolang::CallSite& site);
// A list of {"id", "parent", "group", "line", "column", "waiting", "mode",
// "branch"}, one per live context (see Interpreter.contexts). Null with an
// exception set when Python is out of memory.
PyRef contexts_to_python(const std::vector<zolang::ContextView>& views);

// --- Outlines ---

// {"complete", "groups", "uses", "variables", "calls"}, as Compiler.outline
// gives it, every place a (line, column, end_line, end_column) tuple. Null
// with an exception set when Python is out of memory.
PyRef outline_to_python(const zolang::Outline& outline);

// --- Debugging ---

// {"reason", "context", "address", "line", "column", "error"} of a
// suspended program.
PyRef suspension_to_python(const zolang::Suspension& suspension);
// [{"id", "parent", "branch", "frames"}], each frame {"group", "address",
// "line", "column", "variables"}, innermost first, variables a dict.
PyRef debug_contexts_to_python(const std::vector<zolang::DebugContext>& contexts);

}  // namespace zolangpy
