#include "value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace zolang {
namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

TEST(ValueDisplay, NumbersAreShortestDecimalsWithoutExponent) {
  struct Case {
    double number;
    const char* text;
  };
  const Case cases[] = {
      {3, "3"},
      {0.5, "0.5"},
      {2.5, "2.5"},
      {-1, "-1"},
      {0.0, "0"},
      {-0.0, "-0"},
      {1e21, "1000000000000000000000"},
      {1e-7, "0.0000001"},
      {0.1 + 0.2, "0.30000000000000004"},
      {nan, "NaN"},
      {-nan, "NaN"},
      {inf, "inf"},
      {-inf, "-inf"},
  };
  for (const Case& c : cases) EXPECT_EQ(Value::number(c.number).display(), c.text) << c.text;
}

TEST(ValueDisplay, ExtremeNumbersRoundTrip) {
  for (double number : {5e-324, 1.7976931348623157e308, -2.2250738585072014e-308}) {
    std::string text = Value::number(number).display();
    EXPECT_EQ(text.find('e'), std::string::npos) << text;
    auto back = parse_decimal(text);
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(*back, number) << text;
  }
}

TEST(ValueDisplay, OtherKinds) {
  EXPECT_EQ(Value::string("a b").display(), "\"a b\"");
  EXPECT_EQ(Value::string("say \"hi\"").display(), "\"say \"hi\"\"");
  EXPECT_EQ(Value::string("").display(), "\"\"");
  EXPECT_EQ(Value::boolean(true).display(), "true");
  EXPECT_EQ(Value::boolean(false).display(), "false");
  EXPECT_EQ(Value::nil().display(), "nil");
}

TEST(ValueEquality, FollowsTheLanguageRules) {
  EXPECT_FALSE(equals(Value::number(1), Value::string("1")));
  EXPECT_TRUE(equals(Value::nil(), Value::nil()));
  EXPECT_FALSE(equals(Value::number(nan), Value::number(nan)));
  EXPECT_TRUE(equals(Value::number(0.0), Value::number(-0.0)));
  EXPECT_TRUE(equals(Value::string("ab"), Value::string("ab")));
  EXPECT_FALSE(equals(Value::string("ab"), Value::string("ab ")));
  EXPECT_TRUE(equals(Value::boolean(false), Value::boolean(false)));
  EXPECT_FALSE(equals(Value::boolean(false), Value::nil()));
  EXPECT_FALSE(equals(Value::number(0), Value::boolean(false)));
}

TEST(ValueEquality, IdentityDistinguishesNegativeZeroAndKeepsNaN) {
  EXPECT_NE(Value::number(0.0), Value::number(-0.0));
  EXPECT_EQ(Value::number(nan), Value::number(nan));
  EXPECT_EQ(Value::string("x"), Value::string("x"));
}

TEST(ValueTruthiness, FollowsTheLanguageRules) {
  EXPECT_FALSE(Value::nil().truthy());
  EXPECT_FALSE(Value::boolean(false).truthy());
  EXPECT_TRUE(Value::boolean(true).truthy());
  EXPECT_FALSE(Value::number(0.0).truthy());
  EXPECT_FALSE(Value::number(-0.0).truthy());
  EXPECT_TRUE(Value::number(nan).truthy());
  EXPECT_TRUE(Value::number(-3).truthy());
  EXPECT_FALSE(Value::string("").truthy());
  EXPECT_TRUE(Value::string("0").truthy());
}

TEST(ValueStrings, CopiesShareAndOutliveTheOriginal) {
  Value copy;
  {
    Value original = Value::concat("ab", "cd");
    copy = original;
    Value moved = std::move(original);
    EXPECT_EQ(moved.as_string(), "abcd");
  }
  EXPECT_EQ(copy.as_string(), "abcd");
  copy = copy;  // self-assignment keeps the text alive
  EXPECT_EQ(copy.as_string(), "abcd");
  copy = Value::number(2);
  EXPECT_TRUE(copy.is_number());
}

TEST(ParseDecimal, AcceptsPlainDecimalsOnly) {
  EXPECT_EQ(parse_decimal("3"), 3.0);
  EXPECT_EQ(parse_decimal("2.50"), 2.5);
  EXPECT_EQ(parse_decimal("1."), 1.0);
  EXPECT_EQ(parse_decimal("1e3"), 1000.0);
  EXPECT_EQ(parse_decimal("1E-2"), 0.01);
  EXPECT_EQ(parse_decimal("007"), 7.0);
  EXPECT_EQ(parse_decimal("-42"), -42.0);
  EXPECT_EQ(parse_decimal("999999999999999"), 999999999999999.0);  // 15 digits, read whole
  EXPECT_EQ(parse_decimal("9999999999999999"), 1e16);              // 16, rounded
  EXPECT_TRUE(std::signbit(*parse_decimal("-0")));
  for (const char* bad : {"", "-", "+1", ".5", "1x", "1e", "inf", "nan", "-inf", "1.2.3", "0x10"}) {
    EXPECT_FALSE(parse_decimal(bad)) << bad;
  }
}

TEST(ParseDecimal, IsCorrectlyRoundedAndSaturatesOutOfRange) {
  EXPECT_EQ(parse_decimal("0.1"), 0.1);
  EXPECT_EQ(parse_decimal("9007199254740993"), 9007199254740992.0);  // ties to even
  EXPECT_EQ(parse_decimal("1e400"), inf);
  EXPECT_EQ(parse_decimal("-1e400"), -inf);
  EXPECT_EQ(parse_decimal(std::string(400, '9')), inf);
  EXPECT_EQ(parse_decimal("1e-400"), 0.0);
  EXPECT_TRUE(std::signbit(*parse_decimal("-1e-400")));
  EXPECT_EQ(parse_decimal("0." + std::string(400, '0') + "1"), 0.0);
  EXPECT_EQ(parse_decimal("0.0001e-400"), 0.0);
}

}  // namespace
}  // namespace zolang
