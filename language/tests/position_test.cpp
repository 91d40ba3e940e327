#include "position.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zolang {
namespace {

std::string place(SourcePosition position) {
  return std::to_string(position.line) + ":" + std::to_string(position.column);
}

// Columns count code points; queries may come in any order and give the same
// answers as a fresh locator would.
TEST(SourceLocator, CountsLinesAndCodePointsInAnyOrder) {
  // "é" is two bytes, the emoji four; a CR LF pair is one line break.
  const std::string source = "ab\xC3\xA9 x\r\n\xF0\x9F\x98\x80y\n\nlast";
  struct Query {
    std::size_t offset;
    std::string expected;
  };
  const std::vector<Query> queries = {
      {0, "1:1"},   {5, "1:5"},  {6, "1:6"},  {7, "1:7"},  {8, "2:1"}, {12, "2:2"},
      {4, "1:4"},   {2, "1:3"},  {14, "3:1"}, {15, "4:1"}, {1, "1:2"}, {19, "4:5"},
      {500, "4:5"}, {13, "2:3"}, {12, "2:2"}, {8, "2:1"},  {0, "1:1"},
  };
  SourceLocator resumed(source);
  for (const auto& [offset, expected] : queries) {
    EXPECT_EQ(place(resumed.position(offset)), expected) << "offset " << offset;
    EXPECT_EQ(place(SourceLocator(source).position(offset)), expected) << "offset " << offset;
  }
}

TEST(SourceLocator, FindsLinesNearAndFarInEitherDirection) {
  // Lines of 1 to 7 bytes; the place of every offset is known by counting.
  std::string source;
  std::vector<std::string> places;
  for (int line = 1; line <= 1000; ++line) {
    for (int column = 1; column <= line % 7 + 1; ++column) {
      source += column == line % 7 + 1 ? '\n' : 'x';
      places.push_back(std::to_string(line) + ":" + std::to_string(column));
    }
  }
  SourceLocator locator(source);
  // Hops of every size, forwards and backwards, from wherever the last query left.
  std::size_t offset = 0;
  for (std::size_t hop : {0, 1, 2, 5, 9, 40, 333, 1700, 3001}) {
    for (std::size_t step = 0; step < 12; ++step) {
      offset = (offset + hop * (step % 3 == 2 ? places.size() - 1 : 1)) % places.size();
      EXPECT_EQ(place(locator.position(offset)), places[offset]) << "offset " << offset;
    }
  }
}

TEST(SourceLocator, SpansEndJustPastTheirLastCodePoint) {
  SourceLocator locator("say 'a\nb\xC3\xA9' x");
  EXPECT_EQ(locator.span(4, 7), (SourceSpan{1, 5, 2, 4}));
  EXPECT_EQ(locator.span(0, 3), (SourceSpan{1, 1, 1, 4}));
  EXPECT_EQ(locator.span(12, 100), (SourceSpan{2, 5, 2, 6}));
  EXPECT_FALSE(SourceSpan{}.is_known());
}

}  // namespace
}  // namespace zolang
