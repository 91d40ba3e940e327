#include <gtest/gtest.h>

#include "value.hpp"

TEST(Smoke, Builds) { EXPECT_EQ(zolang::Value::number(3).display(), "3"); }
