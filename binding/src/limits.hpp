// The arguments of Interpreter.set_limits(*, instructions=None, seconds=None,
// memory=None).
#pragma once

#include <optional>
#include <zolang/interpreter.hpp>

#include "python.hpp"

namespace zolangpy {

// Reads the keyword-only arguments; None (or leaving one out) is no limit.
// `instructions` and `memory` (bytes) must be ints of at least 0, `seconds`
// an int or float of at least 0 (infinity is no limit). Otherwise TypeError or ValueError is
// raised, naming the argument, and the result is empty.
std::optional<zolang::Limits> parse_limits(PyObject* args, PyObject* kwargs);

}  // namespace zolangpy
