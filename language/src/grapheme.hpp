// Extended grapheme clusters of UTF-8 text. Between two ASCII characters there
// is always a cluster boundary, except inside CR LF, so ASCII text is walked
// without the segmentation library; around any non-ASCII byte the walk asks
// ICU, with identical results.
#pragma once

#include <cstddef>
#include <string_view>

struct UBreakIterator;
struct UText;

namespace zolang {

class GraphemeWalker {
 public:
  // The text must outlive the walker.
  explicit GraphemeWalker(std::string_view text) : text(text) {}
  GraphemeWalker(const GraphemeWalker&) = delete;
  GraphemeWalker& operator=(const GraphemeWalker&) = delete;
  ~GraphemeWalker();

  // The byte offset just past the cluster that starts at `offset`, which
  // must be a cluster boundary below text.size(). Always greater than offset,
  // even for ill-formed UTF-8.
  std::size_t cluster_end(std::size_t offset) {
    unsigned char first = static_cast<unsigned char>(text[offset]);
    std::size_t next = offset + 1;
    if (first < 0x80) {
      if (next == text.size()) return next;
      unsigned char second = static_cast<unsigned char>(text[next]);
      if (second < 0x80) return (first == '\r' && second == '\n') ? next + 1 : next;
    }
    return cluster_end_slow(offset);
  }

  // Whether the ASCII byte at `offset` (neither CR nor LF) is surely a
  // cluster of its own, judged from the code points either side: nothing
  // before it that attaches to what follows (Prepend), nothing after it that
  // attaches to what precedes (Extend, ZWJ, SpacingMark). False when it is
  // not, or when only a walk could tell.
  bool stands_alone(std::size_t offset);

 private:
  std::size_t cluster_end_slow(std::size_t offset);
  bool open_icu();

  std::string_view text;
  UText* utext = nullptr;
  UBreakIterator* breaker = nullptr;
  bool icu_failed = false;
};

// Whether every code point of the cluster has the White_Space property.
bool is_whitespace_cluster(std::string_view cluster);

}  // namespace zolang
