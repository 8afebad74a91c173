#include "tool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "command_line.h"
#include "wildcard.h"

namespace orvex {
namespace {

// Every command, found from the command table so that a new one cannot be
// missed: its help ends with the package version, and a usage error is one
// line saying what was wrong and one saying where help is.
TEST(ToolHabits, EveryCommandHelpsAndRefusesAlike) {
  const std::string version = std::string("orvex-tool ") + ORVEX_VERSION + "\n";
  std::vector<std::vector<std::string>> helps = {{"--help"}, {"-h"}, {"--version"}};
  for (const ToolCommand& command : toolCommands()) {
    helps.push_back({command.name, "--help"});
    helps.push_back({command.name, "a", "b", "c", "-h"});
  }
  for (const std::vector<std::string>& args : helps) {
    SCOPED_TRACE(::testing::PrintToString(args));
    std::ostringstream out, err;
    EXPECT_EQ(runTool(args, out, err), 0);
    EXPECT_TRUE(out.str().ends_with(version)) << out.str();
    EXPECT_EQ(err.str(), "");
  }
  for (const ToolCommand& command : toolCommands()) {
    for (const std::vector<std::string>& rest :
         std::vector<std::vector<std::string>>{{"--no-such-option", "a", "b", "c"}, {}}) {
      std::vector<std::string> args = {command.name};
      args.insert(args.end(), rest.begin(), rest.end());
      SCOPED_TRACE(::testing::PrintToString(args));
      std::ostringstream out, err;
      EXPECT_EQ(runTool(args, out, err), EXIT_USAGE);
      const std::string prefix = std::string("orvex-tool: ") + command.name + ": ";
      const std::string help = std::string("\nTry 'orvex-tool ") + command.name + " --help'\n";
      const std::string shown = err.str();
      EXPECT_TRUE(shown.starts_with(prefix) && shown.ends_with(help)) << shown;
      EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 2) << shown;
      EXPECT_EQ(out.str(), "");
    }
  }
}

struct UsageCase {
  std::vector<std::string> args;
  const char* reason;  // the first line of standard error, after the prefix
};

class ToolUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(ToolUsage, SaysWhatWasWrongInOneLine) {
  std::ostringstream out, err;
  EXPECT_EQ(runTool(GetParam().args, out, err), EXIT_USAGE);
  const std::string first = err.str().substr(0, err.str().find('\n'));
  EXPECT_NE(first.find(GetParam().reason), std::string::npos) << err.str();
  EXPECT_EQ(out.str(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ToolUsage,
    ::testing::Values(
        UsageCase{{}, "usage: orvex-tool COMMAND"},
        UsageCase{{"unpack"}, "unknown command 'unpack'"},
        UsageCase{{"pack", "a", "b"}, "expected SOURCE_DIR IMAGE INDEX"},
        UsageCase{{"pack", "a", "b", "c", "--base-sector"}, "--base-sector needs a value"},
        UsageCase{{"pack", "a", "b", "c", "--base-sector", "300"}, "'300' is not a number"},
        UsageCase{{"pack", "a", "b", "c", "--base-sector=1x"}, "'1x' is not a number"},
        UsageCase{{"hash", "--"}, "no names given"},
        UsageCase{{"extract", "a", "b", "-C"}, "-C needs a path"},
        UsageCase{{"extract", "--events=", "a", "b"}, "--events needs a path"},
        UsageCase{{"extract", "-j", "0", "a", "b"}, "-j needs a number of jobs from 1 to 256"},
        UsageCase{{"extract", "--jobs=2x", "a", "b"}, "-j needs a number of jobs"},
        UsageCase{{"extract", "-vq", "a", "b"}, "-v and -q cannot be used together"},
        UsageCase{{"extract", "--verbose", "--quiet", "a", "b"}, "-v and -q cannot be used"},
        UsageCase{{"extract", "--verbose=yes", "a", "b"}, "unknown option '--verbose=yes'"},
        UsageCase{{"cat", "a", "b"}, "expected IMAGE INDEX NAME..."},
        UsageCase{{"cat", "a", "--index-in-image", "/I"}, "expected IMAGE NAME..."},
        UsageCase{{"unnamed", "--index-in-image"}, "--index-in-image needs a path in the image"},
        UsageCase{{"disc", "a", "b"}, "expected IMAGE"},
        UsageCase{{"list", "--state", "fine", "a", "b"}, "no state 'fine'"},
        UsageCase{{"patch", "a", "b", "c"}, "give either -o NEW_IMAGE NEW_INDEX or --in-place"},
        UsageCase{{"patch", "a", "b", "c", "--output", "x"}, "-o needs NEW_IMAGE and NEW_INDEX"}));

TEST(SplitCommandLine, LongFormsJoinedValuesAndJoinedFlags) {
  const CommandSpec spec{"test",
                         "usage: test",
                         {directoryOption(), jobsOption(), eventsOption(), {"-v"}, {"-q"}, {"-n"}}};
  int status = -1;
  std::ostringstream out, err;
  const std::optional<CommandLine> line = parseCommandLine(
      spec,
      {"--directory", "out", "-j4", "-vq", "--jobs=3", "-Cdir", "--events=t", "x", "--", "-n"}, out,
      err, &status);
  ASSERT_TRUE(line) << err.str();
  std::vector<std::string> shown;
  for (const CommandOption& option : line->options)
    shown.push_back(option.name + "=" + option.value.value_or("<none>"));
  EXPECT_EQ(shown, (std::vector<std::string>{"-C=out", "-j=4", "-v=<none>", "-q=<none>", "-j=3",
                                             "-C=dir", "--events=t"}));
  EXPECT_EQ(line->operands, (std::vector<std::string>{"x", "-n"}));
  EXPECT_EQ(line->value("-j"), "3");
  EXPECT_EQ(status, -1);
}

struct WildcardCase {
  const char* pattern;
  const char* name;
  bool matches;
};

TEST(Wildcard, MatchesAsExtractPatternsDo) {
  const WildcardCase cases[] = {
      {"data/map.bin", "data/map.bin", true},
      {"data", "data/map.bin", true},  // a folder selects what is under it
      {"dat", "data/map.bin", false},
      {"data/map", "data/map.bin", false},
      {"*.bin", "data/sub/map.bin", true},  // '*' crosses '/'
      {"*", "", true},
      {"d*/m*", "data/map.bin", true},
      {"*/*/*", "data/map.bin", false},
      {"?ata", "data/map.bin", true},
      {"d?ta/map.bi?", "data/map.bin", true},
      {"data?map.bin", "data/map.bin", true},
      {"[a-d]ata/[!n]ap.bin", "data/map.bin", true},
      {"[^d]*", "data/map.bin", false},
      {"[]x]y", "]y", true},
      {"[a-]", "-", true},
      {"[[:digit:]][[:alpha:]]", "7z", true},
      {"[[:digit:]]", "z", false},
      {"[ab", "[ab", true},  // an unclosed set is ordinary text
      {"\\*", "*", true},
      {"\\*", "a", false},
      {"[\\]]", "]", true},
      {"a\\", "a\\", false},  // a backslash at the end matches nothing
      {"*a*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
      {"events/intro/0*", "events/intro/000.mset", true},
  };
  for (const WildcardCase& c : cases)
    EXPECT_EQ(wildcardMatches(c.pattern, c.name), c.matches) << c.pattern << " ~ " << c.name;
}

}  // namespace
}  // namespace orvex
