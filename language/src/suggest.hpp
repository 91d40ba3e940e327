// "Did you mean ...?": the known name closest to a misspelt one.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zolang {

// The candidate closest to `name`, or none when no candidate is close enough
// to be a likely misspelling. Closeness counts the single-character edits
// (insert, delete, replace, swap two neighbours; characters are code points)
// that turn one into the other; a name may be off by about one edit per three
// characters, so 'pirnt' finds 'print' while 'x' finds no 'y'. A
// candidate differing only in letter case wins outright; ties go to the
// candidate first in byte order, whatever order the candidates come in.
// Names over 128 bytes are not compared.
std::optional<std::string> closest_name(std::string_view name,
                                        const std::vector<std::string_view>& candidates);

}  // namespace zolang
