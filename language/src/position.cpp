#include "position.hpp"

#include <algorithm>
#include <limits>

namespace zolang {

namespace {

// Bytes that begin a code point: all but UTF-8 continuation bytes. Ill-formed
// text is counted the same way, byte by byte, and never read past its end.
std::size_t count_code_points(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
  }));
}

std::size_t count_line_feeds(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Places beyond 2^32 lines or columns only arise in texts of over 4 GiB;
// they stay at the largest value rather than wrapping round.
std::uint32_t narrow(std::size_t value) {
  return static_cast<std::uint32_t>(
      std::min<std::size_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

SourcePosition SourceLocator::position(std::size_t target) {
  target = std::min(target, text.size());
  if (target < line_start) {
    // An earlier line: step back to the start of the line that holds target.
    line -= count_line_feeds(text.substr(target, line_start - target));
    std::size_t previous_break = target == 0 ? std::string_view::npos : text.rfind('\n', target - 1);
    line_start = previous_break == std::string_view::npos ? 0 : previous_break + 1;
    offset = line_start;
    column = 1;
  } else if (target < offset) {
    column -= count_code_points(text.substr(target, offset - target));
    offset = target;
  }
  std::string_view ahead = text.substr(offset, target - offset);
  if (std::size_t breaks = count_line_feeds(ahead); breaks != 0) {
    line += breaks;
    line_start = text.rfind('\n', target - 1) + 1;
    column = 1;
    ahead = text.substr(line_start, target - line_start);
  }
  column += count_code_points(ahead);
  offset = target;
  return SourcePosition{narrow(line), narrow(column)};
}

SourceSpan SourceLocator::span(std::size_t start, std::size_t length) {
  SourcePosition first = position(start);
  SourcePosition last = position(start + std::min(length, text.size() - std::min(start, text.size())));
  return SourceSpan{first.line, first.column, last.line, last.column};
}

}  // namespace zolang
