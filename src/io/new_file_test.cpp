#include "new_file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <set>

#include "faulty_fs.h"
#include "file_io.h"
#include "program.h"

namespace orvex::io {
namespace {

using ::orvex::testing::FaultyFs;
using ::orvex::testing::TempDir;

Folder openFolder(const std::string& path) {
  Folder folder;
  EXPECT_TRUE(realFs()
                  .openFolder(Folder::working(), path, FolderIntent::kList, Follow::kYes, &folder)
                  .isOk());
  return folder;
}

std::set<std::string> namesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

TEST(RemoveStaleTemporaries, TakesOnlyUnheldFilesOfEndedRuns) {
  TempDir dir;
  const std::string ended = ".orvex-tmp-" + std::to_string(testing::endedProcessId());
  const std::string mine = ".orvex-tmp-" + std::to_string(realFs().processId()) + "-0";
  std::vector<std::string> files = {ended + "-0", ended + "-1", mine, ended + "-x",
                                    "a" + ended + "-0"};
  std::set<std::string> kept = {ended + "-1", ended + "-2", mine, ended + "-x", "a" + ended + "-0"};
  // pid 1 is alive on POSIX systems: its run's files stay.
  if (testing::kPosix) {
    files.push_back(".orvex-tmp-1-0");
    kept.insert(".orvex-tmp-1-0");
  }
  for (const std::string& name : files) testing::writeText(dir / name, "partial");
  std::filesystem::create_directory(dir / (ended + "-2"));
  // Held by a run that is still going: its lock says so.
  File held;
  ASSERT_TRUE(
      realFs()
          .openFile(Folder::working(), dir / (ended + "-1"), FileIntent::kRead, Follow::kYes, &held)
          .isOk());
  ASSERT_TRUE(realFs().tryLock(held).isOk());

  const Folder folder = openFolder(dir.path());
  removeStaleTemporaries(realFs(), folder);
  // A folder, another pattern, a live run's and this process's own stay.
  EXPECT_EQ(namesIn(dir.path()), kept);
}

TEST(NewFile, WithoutUnnamedTemporariesAppearsOnlyCompleteAndLeavesNoName) {
  TempDir dir;
  FaultyFs fs;
  fs.refuseUnnamedTemporaries(true);
  const Folder folder = openFolder(dir.path());
  testing::writeText(dir / "old", "old");
  for (const bool replace : {false, true}) {
    NewFile file(fs);
    ASSERT_TRUE(file.create(folder, "old").isOk());
    EXPECT_EQ(namesIn(dir.path()).size(), 2u);  // the file has a temporary name
    ASSERT_TRUE(writeAll(fs, file.file(), reinterpret_cast<const uint8_t*>("new"), 3).isOk());
    EXPECT_EQ(file.publish(replace).code(), replace ? Status::Code::kOk : Status::Code::kExists);
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"old"});
    EXPECT_EQ(testing::textOf(testing::readBytes(dir / "old")), replace ? "new" : "old");
  }
}

TEST(NewFile, ASignalThatEndsTheRunRemovesItsTemporaryName) {
  ORVEX_SKIP_WITHOUT_POSIX("signals");
#ifndef _WIN32
  TempDir dir;
  const pid_t pid = fork();
  if (pid == 0) {
    handleProcessSignals();
    FaultyFs fs;
    fs.refuseUnnamedTemporaries(true);
    const Folder folder = openFolder(dir.path());
    NewFile file(fs);
    if (!file.create(folder, "out").isOk() || namesIn(dir.path()).size() != 1) _exit(3);
    raise(SIGTERM);
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{});
#endif
}

}  // namespace
}  // namespace orvex::io
