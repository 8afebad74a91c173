// The progress line, seen as a person at a terminal would see it: drawn on
// a pseudo-terminal, cleared before the summary, absent when stderr is a file.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "pack.h"
#include "program.h"

namespace orvex {
namespace {

using testing::bytesOf;
using testing::TempDir;
using testing::writeBytes;

// Runs orvex in cwd with stdout sent to /dev/null and stderr on a fresh
// pseudo-terminal; returns what the terminal received.
std::string terminalOutput(const std::string& cwd, const std::vector<std::string>& args) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0 || !freopen("/dev/null", "w", stdout)) _exit(126);
    std::vector<char*> argv{const_cast<char*>(ORVEX_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(ORVEX_BINARY, argv.data());
    _exit(127);
  }
  std::string seen;
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(master, chunk, sizeof chunk);
    if (got <= 0) break;  // EIO once the child has closed the terminal
    seen.append(chunk, static_cast<size_t>(got));
  }
  close(master);
  waitpid(pid, nullptr, 0);
  return seen;
}

TEST(ProgressLine, DrawnOnATerminalAndClearedBeforeTheSummary) {
  TempDir sandbox;
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"one", "two"}));
  disc.addStored("one", bytesOf("1"));
  disc.addStored("two", bytesOf("22"));
  const DiscBytes bytes = buildDisc(disc);
  writeBytes(sandbox / "d.img", bytes.image);
  writeBytes(sandbox / "d.idx", bytes.index);
  std::filesystem::create_directory(sandbox / "work");

  const std::string seen = terminalOutput(sandbox / "work", {"../d.img", "../d.idx"});
  const size_t drawn = seen.find("\r\033[K");
  ASSERT_NE(drawn, std::string::npos) << seen;
  EXPECT_NE(seen.find(" of 3 entries, ", drawn), std::string::npos) << seen;
  // The last thing before the summary wipes the line.
  const size_t summary = seen.find("orvex: 2 files written");
  ASSERT_NE(summary, std::string::npos) << seen;
  EXPECT_EQ(seen.rfind("\r\033[K", summary), summary - 4);

  // Not a terminal: the same run shows only the summary.
  std::filesystem::create_directory(sandbox / "plain");
  const testing::ProgramResult plain =
      testing::runProgram(ORVEX_BINARY, {"../d.img", "../d.idx"}, sandbox / "plain");
  EXPECT_EQ(plain.err.rfind("orvex: 2 files written", 0), 0u) << plain.err;
  EXPECT_EQ(plain.err.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace orvex
