// Installing the build into a fresh prefix puts the programs, their manual
// pages and the bash completions where packages expect them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "program.h"

namespace orvex {
namespace {

using testing::runProgram;
using testing::TempDir;

TEST(Install, PutsProgramsManualsAndCompletionsUnderThePrefix) {
  ORVEX_SKIP_WITHOUT_POSIX("the layout of a POSIX prefix");
  TempDir prefix;
  const testing::ProgramResult install = runProgram(
      CMAKE_COMMAND, {"--install", ORVEX_BUILD_DIR, "--prefix", prefix.path()}, prefix.path());
  ASSERT_EQ(install.status, 0) << install.out << install.err;

  for (const char* program : {"bin/orvex", "bin/orvex-tool"}) {
    struct stat st;
    ASSERT_EQ(stat((prefix / program).c_str(), &st), 0) << program;
    EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR)) << program;
  }
  for (const char* file : {"share/man/man1/orvex.1", "share/man/man1/orvex-tool.1",
                           "share/bash-completion/completions/orvex",
                           "share/bash-completion/completions/orvex-tool"}) {
    struct stat st;
    ASSERT_EQ(stat((prefix / file).c_str(), &st), 0) << file;
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_size > 0) << file;
  }

  const testing::ProgramResult version =
      runProgram(prefix / "bin/orvex-tool", {"--version"}, prefix.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("orvex-tool ") + ORVEX_VERSION + "\n");
  EXPECT_EQ(version.err, "");
}

}  // namespace
}  // namespace orvex
