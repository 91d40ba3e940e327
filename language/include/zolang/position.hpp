// Places in source text, as diagnostics show them: 1-based lines, and 1-based
// columns counted in Unicode code points (as Python's SyntaxError.offset
// counts them). The front end keeps only byte offsets in its tokens; a
// SourceLocator turns offsets into places when a diagnostic or the line table
// needs one, so lexing does no line or column counting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zolang {

// A stretch of source text. The end is exclusive: end_column is the column
// just past its last code point, so a one-line span is end_column - column
// code points wide. Line 0 means the place is unknown.
struct SourceSpan {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::uint32_t end_line = 0;
  std::uint32_t end_column = 0;

  bool is_known() const { return line != 0; }

  friend bool operator==(const SourceSpan&, const SourceSpan&) = default;
};

// One place: a line and a column, as above.
struct SourcePosition {
  std::uint32_t line = 0;
  std::uint32_t column = 0;

  bool is_known() const { return line != 0; }

  friend bool operator==(const SourcePosition&, const SourcePosition&) = default;
};

// Converts byte offsets of one source text into places. Line breaks are line
// feeds (a CR LF pair counts once, a lone carriage return is an ordinary
// character), as in the line numbers of errors. The first query indexes the
// text's lines in one pass; each query then finds its line from the one
// before (the compiler asks about nearby places, mostly in order) and counts
// its column, at once on an ASCII line. The text must outlive the locator.
class SourceLocator {
 public:
  explicit SourceLocator(std::string_view source) : text(source) {}

  // The place of the byte at `offset` (the end of the text when past it).
  SourcePosition position(std::size_t offset);
  // The span of the `length` bytes at `offset`.
  SourceSpan span(std::size_t offset, std::size_t length);

  std::string_view source() const { return text; }

 private:
  // One word per line, so that the index of a long text stays small: the
  // offset of the line's first byte, with the top bit set when no byte of
  // the line is above 0x7F (its columns are then bytes).
  struct Line {
    static constexpr std::uint64_t ascii_bit = std::uint64_t{1} << 63;
    std::uint64_t bits;
    std::size_t start() const { return static_cast<std::size_t>(bits & ~ascii_bit); }
    bool ascii() const { return (bits & ascii_bit) != 0; }
  };
  void index_lines();
  // The index of the line holding `offset`, near the one found last.
  std::size_t line_of(std::size_t offset);

  std::string_view text;
  std::vector<Line> lines;  // empty until the first query
  std::size_t current = 0;  // the line found last
};

}  // namespace zolang
