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

TEST(SourceLocator, SpansEndJustPastTheirLastCodePoint) {
  SourceLocator locator("say 'a\nb\xC3\xA9' x");
  EXPECT_EQ(locator.span(4, 7), (SourceSpan{1, 5, 2, 4}));
  EXPECT_EQ(locator.span(0, 3), (SourceSpan{1, 1, 1, 4}));
  EXPECT_EQ(locator.span(12, 100), (SourceSpan{2, 5, 2, 6}));
  EXPECT_FALSE(SourceSpan{}.is_known());
}

}  // namespace
}  // namespace zolang
