// The debugger's record of one scope (a group body or the main code), made
// while the compiler writes its instructions: where each variable is known
// to hold its value. It changes no instruction; it only notes addresses the
// compiler passes it, counted from the scope's first instruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bytecode.hpp"
#include "names.hpp"

namespace zolang {

class ScopeRecorder {
 public:
  // A block of statements opens; its instructions follow.
  void open_block();
  // The block closes, its last instruction just before `end`: the
  // variables that began to hold a value in it are known to hold it no
  // further, since the code after it is reached from paths that skipped it.
  void close_block(std::size_t end);
  // A store into `slot`, whose next instruction is `after`: from there the
  // variable holds a value, unless it already does in an open block.
  void stored(std::size_t slot, std::size_t after);
  // A value parameter's slot, which holds its value over the whole body.
  void hold(std::size_t slot);

  // The record of scope `group`, whose instructions are [0, end), its first
  // `parameters` slots holding their values over [0, body_end), its blocks
  // closed; `slots` maps each variable's name to its slot. Leaves the
  // recorder empty, with its room kept for the next scope.
  DebugScope finish(std::string group, const NameMap<std::size_t>& slots, std::size_t parameters,
                    std::size_t body_end, std::size_t end);

 private:
  std::vector<LiveRange> ranges;
  // The variables live since an address, each block's after the last
  // block's (block_marks says where each open block's begin).
  std::vector<std::pair<std::uint32_t, std::uint32_t>> opened;  // slot, first
  std::vector<std::size_t> block_marks;
  std::vector<std::uint8_t> live;  // by slot: live in an open block (or held)
};

}  // namespace zolang
