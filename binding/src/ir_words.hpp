// Compiler.split_ir_words: the IR reader's word splitter, which the `zo`
// package asks before it writes IR text, so that Python never re-approximates
// the library's splitting.
#pragma once

#include "python.hpp"

namespace zolangpy {

// The static method's table entry, for the Compiler class's method table.
PyMethodDef split_ir_words_method();

}  // namespace zolangpy
