#include "op.hpp"

#include <array>

namespace zolang {

namespace {

constexpr std::array<std::string_view, op_kind_count> mnemonics = {
#define ZO_MNEMONIC(kind, mnemonic, shape, effect, meaning) mnemonic,
    ZO_INSTRUCTIONS(ZO_MNEMONIC)
#undef ZO_MNEMONIC
};

}  // namespace

std::string_view mnemonic(OpKind kind) { return mnemonics[static_cast<std::size_t>(kind)]; }

}  // namespace zolang
