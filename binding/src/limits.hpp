// The arguments of Interpreter.set_limits(*, instructions=None, seconds=None).
#pragma once

#include <optional>
#include <zolang/interpreter.hpp>

#include "python.hpp"

namespace zolangpy {

// Reads both keyword-only arguments; None (or leaving one out) is no limit.
// `instructions` must be an int of at least 0, `seconds` an int or float of
// at least 0 (infinity is no limit). Otherwise TypeError or ValueError is
// raised, naming the argument, and the result is empty.
std::optional<zolang::Limits> parse_limits(PyObject* args, PyObject* kwargs);

}  // namespace zolangpy
