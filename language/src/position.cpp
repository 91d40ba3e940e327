#include "position.hpp"

#include <algorithm>
#include <cstdint>
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

// Whether no byte of the text is above 0x7F, read eight bytes at a time.
bool is_ascii(std::string_view text) {
  std::uint64_t bits = 0;
  std::size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + at, 8);
    bits |= word;
  }
  for (; at < text.size(); ++at) bits |= static_cast<unsigned char>(text[at]);
  return (bits & 0x8080808080808080) == 0;
}

// Places beyond 2^32 lines or columns only arise in texts of over 4 GiB;
// they stay at the largest value rather than wrapping round.
std::uint32_t narrow(std::size_t value) {
  return static_cast<std::uint32_t>(
      std::min<std::size_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

void SourceLocator::index_lines() {
  std::size_t start = 0;
  for (;;) {
    const void* feed = std::memchr(text.data() + start, '\n', text.size() - start);
    std::size_t end = feed == nullptr
                          ? text.size()
                          : static_cast<std::size_t>(static_cast<const char*>(feed) - text.data());
    lines.push_back(
        Line{start | (is_ascii(text.substr(start, end - start)) ? Line::ascii_bit : 0)});
    if (feed == nullptr) return;
    start = end + 1;
  }
}

std::size_t SourceLocator::line_of(std::size_t offset) {
  auto holds = [this, offset](std::size_t line) {
    return lines[line].start() <= offset &&
           (line + 1 == lines.size() || offset < lines[line + 1].start());
  };
  if (holds(current)) return current;
  if (current + 1 < lines.size() && holds(current + 1)) return ++current;
  // Further away (over a group the compiler is not looking at, or back to
  // the start of an expression on an earlier line): a binary search within
  // bounds that double from the last line, so that a short hop reads only
  // nearby lines.
  std::size_t low = 0;
  std::size_t high = lines.size();
  if (offset >= lines[current].start()) {
    low = current;
    for (std::size_t step = 2; low + step < lines.size(); step *= 2) {
      if (offset < lines[low + step].start()) {
        high = low + step;
        break;
      }
      low += step;
    }
  } else {
    high = current;
    for (std::size_t step = 2; step < high; step *= 2) {
      if (lines[high - step].start() <= offset) {
        low = high - step;
        break;
      }
      high -= step;
    }
  }
  auto after = std::upper_bound(lines.begin() + static_cast<std::ptrdiff_t>(low),
                                lines.begin() + static_cast<std::ptrdiff_t>(high), offset,
                                [](std::size_t at, const Line& line) { return at < line.start(); });
  current = static_cast<std::size_t>(after - lines.begin()) - 1;
  return current;
}

SourcePosition SourceLocator::position(std::size_t target) {
  target = std::min(target, text.size());
  if (lines.empty()) index_lines();
  const std::size_t line = line_of(target);
  const Line& found = lines[line];
  std::size_t column =
      1 + (found.ascii() ? target - found.start()
                         : count_code_points(text.substr(found.start(), target - found.start())));
  return SourcePosition{narrow(line + 1), narrow(column)};
}

SourceSpan SourceLocator::span(std::size_t start, std::size_t length) {
  SourcePosition first = position(start);
  std::string_view spanned = text.substr(std::min(start, text.size()), length);
  // Most spans are one token on one line: their end needs no second query.
  if (spanned.find('\n') == std::string_view::npos) {
    return SourceSpan{first.line, first.column, first.line,
                      narrow(first.column + count_code_points(spanned))};
  }
  SourcePosition last = position(start + spanned.size());
  return SourceSpan{first.line, first.column, last.line, last.column};
}

}  // namespace zolang
