#include "scope_recorder.hpp"

#include <algorithm>

namespace zolang {

void ScopeRecorder::open_block() { block_marks.push_back(opened.size()); }

void ScopeRecorder::close_block(std::size_t end) {
  const std::size_t mark = block_marks.back();
  block_marks.pop_back();
  for (std::size_t at = mark; at < opened.size(); ++at) {
    const auto [slot, first] = opened[at];
    live[slot] = 0;
    // A block that ends at its variable's store gives it no range.
    if (first < end) ranges.push_back({slot, first, static_cast<std::uint32_t>(end)});
  }
  opened.resize(mark);
}

void ScopeRecorder::stored(std::size_t slot, std::size_t after) {
  if (slot >= live.size()) live.resize(slot + 1, 0);
  if (live[slot]) return;
  live[slot] = 1;
  opened.emplace_back(static_cast<std::uint32_t>(slot), static_cast<std::uint32_t>(after));
}

void ScopeRecorder::hold(std::size_t slot) {
  if (slot >= live.size()) live.resize(slot + 1, 0);
  live[slot] = 1;
}

DebugScope ScopeRecorder::finish(std::string group, const NameMap<std::size_t>& slots,
                                 std::size_t parameters, std::size_t body_end, std::size_t end) {
  DebugScope scope{std::move(group),
                   0,
                   static_cast<std::uint32_t>(body_end),
                   static_cast<std::uint32_t>(end),
                   static_cast<std::uint32_t>(parameters),
                   {},
                   {}};
  // Slots are given out in order from 0, one per name.
  scope.variables.resize(slots.size());
  for (const auto& [name, slot] : slots) scope.variables[slot] = name;
  std::ranges::sort(ranges, {}, [](const LiveRange& range) {
    return std::pair{range.variable, range.first};
  });
  // A copy at its size: a program keeps many small records.
  scope.live.assign(ranges.begin(), ranges.end());
  ranges.clear();
  opened.clear();
  block_marks.clear();
  // Closing the blocks cleared every flag but the parameters'.
  std::fill_n(live.begin(), std::min(parameters, live.size()), 0);
  return scope;
}

}  // namespace zolang
