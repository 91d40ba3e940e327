// Diagnostics as Python data: a compile error with its places
// (Compiler.diagnostics) and a run-time failure with its trace
// (Interpreter.last_error), the call a native serves (Interpreter.call_site)
// and the live contexts (Interpreter.contexts). Unknown places are None.
#pragma once

#include <vector>
#include <zolang/error.hpp>
#include <zolang/interpreter.hpp>

#include "py_ref.hpp"

namespace zolangpy {

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
// "branch"}, one per context (see Interpreter.contexts). Null with an
// exception set when Python is out of memory.
PyRef contexts_to_python(const std::vector<zolang::ContextView>& views);

}  // namespace zolangpy
