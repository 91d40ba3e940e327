#include "suggest.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace zolang {

namespace {

bool equal_ignoring_case(std::string_view left, std::string_view right) {
  return std::ranges::equal(left, right, [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
}

// The text's code points, each as its UTF-8 bytes packed into one number:
// enough to tell code points apart, which is all the distance needs.
void code_points(std::string_view text, std::vector<std::uint32_t>& points) {
  points.clear();
  for (char byte : text) {
    auto value = static_cast<unsigned char>(byte);
    if ((value & 0xC0) != 0x80 || points.empty()) {
      points.push_back(value);
    } else {
      points.back() = (points.back() << 8) | value;
    }
  }
}

// The optimal string alignment distance: edits are insertions, deletions,
// replacements and swaps of two neighbouring code points. Three rows of the
// table suffice; `rows` is their storage, reused from call to call.
std::size_t edit_distance(const std::vector<std::uint32_t>& left,
                          const std::vector<std::uint32_t>& right, std::vector<std::size_t>& rows) {
  rows.assign(3 * (right.size() + 1), 0);
  std::size_t* before = rows.data();
  std::size_t* previous = before + right.size() + 1;
  std::size_t* current = previous + right.size() + 1;
  for (std::size_t j = 0; j <= right.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= left.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= right.size(); ++j) {
      std::size_t replace = previous[j - 1] + (left[i - 1] == right[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, replace});
      if (i > 1 && j > 1 && left[i - 1] == right[j - 2] && left[i - 2] == right[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[right.size()];
}

}  // namespace

std::optional<std::string> closest_name(std::string_view name,
                                        const std::vector<std::string_view>& candidates) {
  // The table costs the product of the two lengths: past this length a name
  // is no typing slip worth the time.
  constexpr std::size_t longest_compared = 128;
  if (name.size() > longest_compared) return std::nullopt;
  std::optional<std::string_view> best;
  std::size_t best_distance = 0;
  std::optional<std::string_view> only_case_differs;  // differs from name in letter case only
  std::vector<std::uint32_t> name_points;
  std::vector<std::uint32_t> candidate_points;
  code_points(name, name_points);
  std::vector<std::size_t> rows;
  for (std::string_view candidate : candidates) {
    if (candidate == name) continue;
    if (equal_ignoring_case(candidate, name)) {
      if (!only_case_differs || candidate < *only_case_differs) only_case_differs = candidate;
      continue;
    }
    if (candidate.size() > longest_compared) continue;
    code_points(candidate, candidate_points);
    std::size_t shorter = std::min(name_points.size(), candidate_points.size());
    std::size_t longer = std::max(name_points.size(), candidate_points.size());
    std::size_t allowed = (shorter + longer + 3) / 6;
    // Names far apart in length cannot be close; skip the table for them.
    if (longer - shorter > allowed) continue;
    std::size_t distance = edit_distance(name_points, candidate_points, rows);
    bool better =
        !best || distance < best_distance || (distance == best_distance && candidate < *best);
    if (distance <= allowed && better) {
      best = candidate;
      best_distance = distance;
    }
  }
  if (only_case_differs) return std::string(*only_case_differs);
  if (!best) return std::nullopt;
  return std::string(*best);
}

}  // namespace zolang
