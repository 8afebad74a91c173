// The progress line, seen as a person at a terminal would see it: drawn on
// a pseudo-terminal, cleared before the summary, absent when stderr is a file.
#include <gtest/gtest.h>

#include <filesystem>

#include "disc_builder.h"
#include "pack.h"
#include "program.h"

namespace orvex {
namespace {

using testing::bytesOf;
using testing::TempDir;
using testing::writeBytes;

// What the terminal received from binary (orvex unless told) run in cwd.
std::string terminalOutput(const std::string& cwd, const std::vector<std::string>& args,
                           bool stdoutOnTerminal = false, const char* binary = ORVEX_BINARY) {
  return testing::runOnTerminal(binary, args, cwd, stdoutOnTerminal);
}

TEST(ProgressLine, DrawnOnATerminalAndClearedBeforeTheSummary) {
  ORVEX_SKIP_WITHOUT_POSIX("pseudo-terminals");
  TempDir sandbox;
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"one", "two"}));
  disc.addStored("one", bytesOf("1"));
  disc.addStored("two", bytesOf("22"));
  const DiscBytes bytes = buildDisc(disc);
  writeBytes(sandbox / "d.img", bytes.image);
  writeBytes(sandbox / "d.idx", bytes.index);
  const struct {
    const char* binary;
    const char* folder;
    std::vector<std::string> args;
    std::string summary;
  } programs[] = {
      {ORVEX_BINARY, "orvex", {"../d.img", "../d.idx"}, "orvex: 2 files written"},
      {ORVEX_TOOL_BINARY,
       "tool",
       {"extract", "../d.img", "../d.idx"},
       "orvex-tool: extract: 2 files written"},
  };
  for (const auto& program : programs) {
    SCOPED_TRACE(program.summary);
    const std::string work = sandbox / program.folder;
    std::filesystem::create_directory(work);
    const std::string seen = terminalOutput(work, program.args, false, program.binary);
    const size_t drawn = seen.find("\r\033[K");
    ASSERT_NE(drawn, std::string::npos) << seen;
    EXPECT_NE(seen.find(" of 3 entries, ", drawn), std::string::npos) << seen;
    // The last thing before the summary wipes the line.
    const size_t summary = seen.find(program.summary);
    ASSERT_NE(summary, std::string::npos) << seen;
    EXPECT_EQ(seen.rfind("\r\033[K", summary), summary - 4);

    // Not a terminal: the same run shows only the summary.
    const std::string plainWork = work + "-plain";
    std::filesystem::create_directory(plainWork);
    const testing::ProgramResult plain =
        testing::runProgram(program.binary, program.args, plainWork);
    EXPECT_EQ(plain.err.rfind(program.summary, 0), 0u) << plain.err;
    EXPECT_EQ(plain.err.find('\r'), std::string::npos);
  }
}

// Both streams on one terminal, the usual case: names from the disc never
// reach it raw, and every line starts at the left edge, below nothing but a
// cleared progress line.
TEST(ProgressLine, SharesTheTerminalWithStandardOutput) {
  ORVEX_SKIP_WITHOUT_POSIX("pseudo-terminals");
  TempDir sandbox;
  const std::string hostile = "clear\033[2J\033]0;title\007.txt";
  std::vector<std::string> names = {hostile};
  for (int i = 0; i < 40; ++i) names.emplace_back("f").append(std::to_string(i));
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList(names));
  for (const std::string& name : names) disc.addStored(name, bytesOf(name));
  disc.addCompressedStream("damaged", {1, 2, 3, 4, 5, 6});
  disc.addStored("al00.ard", encodeNameList({"damaged"}));
  const DiscBytes bytes = buildDisc(disc);
  writeBytes(sandbox / "d.img", bytes.image);
  writeBytes(sandbox / "d.idx", bytes.index);
  std::filesystem::create_directory(sandbox / "work");

  const std::string seen = terminalOutput(sandbox / "work", {"../d.img", "../d.idx"}, true);
  ASSERT_NE(seen.find("Dumping clear?[2J?]0;title?.txt"), std::string::npos) << seen;
  ASSERT_NE(seen.find(" of 44 entries, "), std::string::npos) << seen;
  // The only escape sequences are the ones that clear the progress line.
  size_t escapes = 0, clears = 0;
  for (size_t at = seen.find('\033'); at != std::string::npos; at = seen.find('\033', at + 1))
    ++escapes;
  for (size_t at = seen.find("\033[K"); at != std::string::npos; at = seen.find("\033[K", at + 1))
    ++clears;
  EXPECT_EQ(escapes, clears) << seen;
  EXPECT_EQ(seen.find('\007'), std::string::npos);
  for (const char* line : {"Dumping ", "orvex: warning: ", "orvex: 41 files written"}) {
    for (size_t at = seen.find(line); at != std::string::npos; at = seen.find(line, at + 1)) {
      const bool afterNewline = at > 0 && seen[at - 1] == '\n';
      const bool afterClear = at >= 4 && seen.compare(at - 4, 4, "\r\033[K") == 0;
      EXPECT_TRUE(afterNewline || afterClear) << line << " at " << at << ": " << seen.substr(0, at);
    }
  }
}

}  // namespace
}  // namespace orvex
