// The short names of programs (variables, calls, groups, properties) as the
// library looks them up: one hash for all of them, the maps keyed by name,
// and the registries of natives built on those maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "native.hpp"

namespace zolang {

// A hash for the short names of programs, which the compiler looks up
// several times per instruction: eight bytes at a time, mixed by
// multiplication, with well-mixed low bits for tables of a power of two.
inline std::size_t hash_name(std::string_view text) noexcept {
  constexpr std::uint64_t multiplier = 0x9E3779B97F4A7C15;
  std::uint64_t hash = text.size() * multiplier;
  std::size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + at, 8);
    hash = (hash ^ word) * multiplier;
    hash ^= hash >> 29;
  }
  std::uint64_t tail = 0;
  for (std::size_t shift = 0; at < text.size(); ++at, shift += 8) {
    tail |= std::uint64_t{static_cast<unsigned char>(text[at])} << shift;
  }
  hash = (hash ^ tail) * multiplier;
  return static_cast<std::size_t>(hash ^ (hash >> 32));
}

// Hashes std::string and std::string_view alike, so registries can be
// searched by view without building a string. Deliberately not noexcept:
// libstdc++ then keeps each key's hash in its node, so a lookup compares
// hashes before names and never rehashes the keys of a crowded bucket.
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return hash_name(text); }
};

template <typename T>
using NameMap = std::unordered_map<std::string, T, StringHash, std::equal_to<>>;

using CallableRegistry = NameMap<std::unique_ptr<CallableGenerator>>;
using PropertyRegistry = NameMap<std::unique_ptr<Prop>>;

}  // namespace zolang
