#include "op.hpp"

#include <array>

namespace zolang {

namespace {

constexpr std::array<std::string_view, op_kind_count> mnemonics = {
    "load",
    "store",
    "get",
    "set",
    "push",
    "pop",
    "dup",
    "add",
    "sub",
    "mul",
    "div",
    "mod",
    "exp",
    "neg",
    "abs",
    "and",
    "or",
    "not",
    "xor",
    "eq",
    "ne",
    "lt",
    "le",
    "gt",
    "ge",
    "jump",
    "jump_unless",
    "jump_if",
    "label",
    "call",
    "call_parallel",
    "call_race",
    "yield",
    "return",
};

static_assert(static_cast<std::size_t>(OpKind::Return) + 1 == op_kind_count);

}  // namespace

std::string_view mnemonic(OpKind kind) { return mnemonics[static_cast<std::size_t>(kind)]; }

}  // namespace zolang
