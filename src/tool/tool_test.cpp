#include "tool.h"

#include <gtest/gtest.h>

#include <sstream>

namespace orvex {
namespace {

struct UsageCase {
  std::vector<std::string> args;
  int status;
  const char* usage;  // the usage line expected on stdout (status 0) or stderr
};

class ToolUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(ToolUsage, PrintsUsageAndExitsWithStatus) {
  std::ostringstream out, err;
  EXPECT_EQ(runTool(GetParam().args, out, err), GetParam().status);
  const std::string& shown = GetParam().status == 0 ? out.str() : err.str();
  const std::string& other = GetParam().status == 0 ? err.str() : out.str();
  EXPECT_EQ(shown.find(GetParam().usage), shown.find("usage: ")) << shown;
  EXPECT_NE(shown.find(GetParam().usage), std::string::npos) << shown;
  EXPECT_EQ(other, "");
}

constexpr char kTop[] = "usage: orvex-tool COMMAND";
constexpr char kPack[] = "usage: orvex-tool pack SOURCE_DIR IMAGE INDEX";
constexpr char kHash[] = "usage: orvex-tool hash NAME...";
constexpr char kExtract[] = "usage: orvex-tool extract [OPTIONS] IMAGE INDEX [PATTERN...]";
constexpr char kCat[] = "usage: orvex-tool cat IMAGE INDEX NAME...";

INSTANTIATE_TEST_SUITE_P(
    Arguments, ToolUsage,
    ::testing::Values(
        UsageCase{{}, 2, kTop}, UsageCase{{"--help"}, 0, kTop}, UsageCase{{"-h"}, 0, kTop},
        UsageCase{{"unpack"}, 2, kTop}, UsageCase{{"pack", "--help"}, 0, kPack},
        UsageCase{{"pack", "a", "b", "c", "-h"}, 0, kPack}, UsageCase{{"pack"}, 2, kPack},
        UsageCase{{"pack", "a", "b"}, 2, kPack}, UsageCase{{"pack", "a", "b", "c", "d"}, 2, kPack},
        UsageCase{{"pack", "a", "b", "c", "--fast"}, 2, kPack},
        UsageCase{{"pack", "a", "b", "c", "--base-sector"}, 2, kPack},
        UsageCase{{"pack", "a", "b", "c", "--base-sector", "300"}, 2, kPack},
        UsageCase{{"pack", "a", "b", "c", "--base-sector=-1"}, 2, kPack},
        UsageCase{{"pack", "a", "b", "c", "--base-sector=1x"}, 2, kPack},
        UsageCase{{"pack", "a", "b", "c", "--base-sector="}, 2, kPack},
        UsageCase{{"hash", "--help"}, 0, kHash}, UsageCase{{"hash"}, 2, kHash},
        UsageCase{{"hash", "--"}, 2, kHash}, UsageCase{{"hash", "-q", "name"}, 2, kHash},
        UsageCase{{"extract", "--help"}, 0, kExtract}, UsageCase{{"extract", "a"}, 2, kExtract},
        UsageCase{{"extract", "-C", "a", "b"}, 2, kExtract},
        UsageCase{{"extract", "a", "b", "-C"}, 2, kExtract},
        UsageCase{{"extract", "--events=", "a", "b"}, 2, kExtract},
        UsageCase{{"extract", "-j", "0", "a", "b"}, 2, kExtract},
        UsageCase{{"extract", "-j2x", "a", "b"}, 2, kExtract},
        UsageCase{{"extract", "-v", "-q", "a", "b"}, 2, kExtract},
        UsageCase{{"extract", "--all", "a", "b"}, 2, kExtract},
        UsageCase{{"cat", "--help"}, 0, kCat}, UsageCase{{"cat", "a", "b"}, 2, kCat},
        UsageCase{{"cat", "-v", "a", "b", "c"}, 2, kCat}));

// Every help text and --version carry the one package version.
TEST(ToolVersion, VersionAndEveryHelpEndWithTheVersionLine) {
  const std::string line = std::string("orvex-tool ") + ORVEX_VERSION + "\n";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--version"},
                                             {"--help"},
                                             {"pack", "--help"},
                                             {"hash", "-h"},
                                             {"list", "--help"},
                                             {"unnamed", "--help"}}) {
    std::ostringstream out, err;
    EXPECT_EQ(runTool(args, out, err), 0) << args[0];
    const std::string text = out.str();
    ASSERT_GE(text.size(), line.size()) << args[0];
    EXPECT_EQ(text.substr(text.size() - line.size()), line) << args[0] << ": " << text;
    EXPECT_EQ(err.str(), "");
  }
}

}  // namespace
}  // namespace orvex
