// The ZoCompiler facade: source text in, program or errors out, with
// registrations kept across compilations until the program is packaged.
#include <string>
#include <vector>

#include "compiler_fixture.hpp"
#include "package.hpp"

namespace zolang::testing {
namespace {

using ZoCompilerFacade = CompilerFixture;

TEST_F(ZoCompilerFacade, RegistrationBeforeTheFirstCompilationIsSeenByIt) {
  native("beep");
  EXPECT_EQ(listing("beep;"), "jump 1\ncall \"beep\" 0\n");
}

TEST_F(ZoCompilerFacade, SyntaxErrorsStopThePipelineBeforeCodeGeneration) {
  native("picky").rejection = Error::native("picky refuses");
  // Neither the unknown call nor the refused one reports anything: code
  // generation never starts, so picky is never asked.
  EXPECT_EQ(listing("ghost;\npicky;\n$x = ;\n"), "error: [line 3] Expect expression\n");
  EXPECT_TRUE(checks().empty());
}

TEST_F(ZoCompilerFacade, SuccessiveCompilationsShareRegistrationsButNotPrograms) {
  native("beep");
  prop("speed");
  EXPECT_EQ(listing("use $speed; $x = $speed; beep;"),
            "jump 1\nget \"speed\"\nstore 0\ncall \"beep\" 0\n");
  EXPECT_EQ(listing("$speed = 2; beep 1;"),
            "jump 1\npush 2\nset \"speed\"\npush 1\ncall \"beep\" 1\n");
}

TEST_F(ZoCompilerFacade, FailedCompilationKeepsRegistrations) {
  native("beep");
  EXPECT_EQ(listing("beep; ghost;"), "error: No callable named 'ghost' was registered\n");
  EXPECT_EQ(listing("beep;"), "jump 1\ncall \"beep\" 0\n");
}

TEST_F(ZoCompilerFacade, RegistrationErrorsComeBackUnchanged) {
  native("beep");
  auto again =
      compiler.register_callable("beep", std::make_unique<RecordingGenerator>(events, "b"));
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().render(), "A callable named 'beep' is already registered");
  prop("speed");
  auto prop_again =
      compiler.register_property("speed", std::make_unique<RecordingProp>(events, "s"));
  ASSERT_FALSE(prop_again);
  EXPECT_EQ(prop_again.error().render(), "A property named 'speed' is already registered");
}

TEST_F(ZoCompilerFacade, PackagingHandsTheRegistrationsToTheProgram) {
  native("beep");
  prop("speed");
  auto ops = compiler.compile_nonconsuming("beep;");
  ASSERT_TRUE(ops);
  Program package = compiler.package_program(*ops);
  EXPECT_EQ(package.contents().ops, *ops);
  EXPECT_EQ(package.contents().callables.size(), 1u);
  EXPECT_TRUE(package.contents().callables.contains("beep"));
  EXPECT_TRUE(package.contents().properties.contains("speed"));
  EXPECT_EQ(listing("beep;"), "error: No callable named 'beep' was registered\n");
  // The names are free again.
  native("beep");
  prop("speed");
}

TEST(ZoCompilerFresh, PackagingWithoutAnyRegistrationGivesEmptyRegistries) {
  ZoCompiler compiler;
  Program package = compiler.package_program({Op::jump(1)});
  EXPECT_EQ(package.contents().ops, std::vector<Op>{Op::jump(1)});
  EXPECT_TRUE(package.contents().callables.empty());
  EXPECT_TRUE(package.contents().properties.empty());
}

}  // namespace
}  // namespace zolang::testing
