#include "position.hpp"

#include <string.h>  // memrchr, a GNU extension

#include <algorithm>
#include <cstring>
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

// Line feeds are few among the bytes, so the C library's vectorised search
// finds them faster than a byte loop counts them.
std::size_t count_line_feeds(std::string_view text) {
  std::size_t count = 0;
  const char* at = text.data();
  const char* end = text.data() + text.size();
  while (at != end) {
    const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
    if (found == nullptr) break;
    ++count;
    at = static_cast<const char*>(found) + 1;
  }
  return count;
}

// The offset just past the last line feed before `end`; 0 when there is none.
std::size_t line_start_before(std::string_view text, std::size_t end) {
  const void* found = ::memrchr(text.data(), '\n', end);
  return found == nullptr
             ? 0
             : static_cast<std::size_t>(static_cast<const char*>(found) - text.data()) + 1;
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
    line_start = line_start_before(text, target);
    offset = line_start;
    column = 1;
  } else if (target < offset) {
    column -= count_code_points(text.substr(target, offset - target));
    offset = target;
  }
  std::string_view ahead = text.substr(offset, target - offset);
  // A long way forward (over a group the compiler is not looking at):
  // counted in bulk, the column from the start of the line reached.
  if (ahead.size() > 64) {
    if (std::size_t breaks = count_line_feeds(ahead); breaks != 0) {
      line += breaks;
      line_start = line_start_before(text, target);
      column = 1;
      ahead = text.substr(line_start, target - line_start);
    }
    column += count_code_points(ahead);
    offset = target;
    return SourcePosition{narrow(line), narrow(column)};
  }
  // Forward by a token or two: one pass over the bytes between.
  for (std::size_t at = offset; at < target; ++at) {
    auto byte = static_cast<unsigned char>(text[at]);
    if (byte == '\n') {
      ++line;
      line_start = at + 1;
      column = 1;
    } else if ((byte & 0xC0) != 0x80) {
      ++column;
    }
  }
  offset = target;
  return SourcePosition{narrow(line), narrow(column)};
}

SourceSpan SourceLocator::span(std::size_t start, std::size_t length) {
  SourcePosition first = position(start);
  std::string_view spanned = text.substr(offset, length);
  // Most spans are one token on one line: their end needs no second query.
  if (spanned.find('\n') == std::string_view::npos) {
    return SourceSpan{first.line, first.column, first.line,
                      narrow(first.column + count_code_points(spanned))};
  }
  SourcePosition last = position(offset + spanned.size());
  return SourceSpan{first.line, first.column, last.line, last.column};
}

}  // namespace zolang
