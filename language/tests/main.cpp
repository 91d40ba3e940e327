// The test binary's entry point. With ZO_UNFUSED=1 in the environment the
// interpreter decodes programs without fused forms, so that the same trace
// tests check the plain instructions (ctest runs them both ways).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

#include "interpreter_code.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const char* unfused = std::getenv("ZO_UNFUSED");
  if (unfused != nullptr && std::string_view(unfused) == "1") zolang::set_fusion(false);
  return RUN_ALL_TESTS();
}
