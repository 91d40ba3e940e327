// What a Program handle holds: a compiled program and the natives registered
// for it, moving together from the compiler into an interpreter.
#pragma once

#include "names.hpp"
#include "program.hpp"

namespace zolang {

struct Package {
  Bytecode ops;
  CallableRegistry callables;
  PropertyRegistry properties;
};

}  // namespace zolang
