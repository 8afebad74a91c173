// orvex-tool mount as a user meets it: the disc mounted, every file read
// through the kernel and compared with what extract writes, writes refused,
// a damaged disc read through, and unmounted. Skipped where FUSE cannot be
// used (no /dev/fuse, no fusermount3, or mounting not permitted).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>

#include "disc_builder.h"
#include "disc_content.h"
#include "program.h"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using testing::bytesOf;
using testing::ProgramResult;
using testing::runProgram;
using testing::TempDir;
using Tree = std::map<std::string, std::string>;

constexpr long kFuseMagic = 0x65735546;  // statfs's f_type of a FUSE mount

// Every entry below root read through the file system: file bytes, "<dir>",
// or "<EIO>" for a file whose read fails with EIO.
Tree readThrough(const std::string& root) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    if (entry.is_directory()) {
      tree[name] = "<dir>";
      continue;
    }
    const int fd = open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    std::string bytes;
    char buffer[65536];
    ssize_t n = 0;
    while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, n);
    tree[name] = fd < 0 || n < 0 ? (errno == EIO ? "<EIO>" : "<error>") : bytes;
    if (fd >= 0) close(fd);
  }
  return tree;
}

class MountProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) GTEST_SKIP() << "/dev/fuse cannot be opened";
    close(fuse);
    if (access("/usr/bin/fusermount3", X_OK) != 0 && access("/bin/fusermount3", X_OK) != 0)
      GTEST_SKIP() << "no fusermount3";
  }
  void TearDown() override {
    for (const std::string& point : mounted_)
      runProgram("/bin/sh", {"-c", "fusermount3 -u " + point}, dir.path());
  }

  // Mounts the disc at dir/name; "" when mounting is not permitted here
  // (the reason in notPermitted).
  std::string mount(const std::string& name, const std::vector<std::string>& options) {
    const std::string point = dir / name;
    fs::create_directory(point);
    std::vector<std::string> args = {"mount"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"disc.img", "disc.idx", point});
    const ProgramResult r = runProgram(ORVEX_TOOL_BINARY, args, dir.path());
    if (r.status != 0 && (r.err.find("not permitted") != std::string::npos ||
                          r.err.find("Permission denied") != std::string::npos)) {
      notPermitted = r.err;
      return "";
    }
    EXPECT_EQ(r.status, 0) << r.err;
    if (r.status == 0) mounted_.push_back(point);
    return point;
  }

  std::string notPermitted;

  Tree extract(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"extract", "-q", "-C", "out"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"disc.img", "disc.idx"});
    runProgram(ORVEX_TOOL_BINARY, args, dir.path());
    Tree tree = testing::snapshotTree(dir / "out");
    fs::remove_all(dir / "out");
    return tree;
  }

  void writeDisc(const DiscBuilder& disc) {
    const DiscBytes bytes = buildDisc(disc);
    testing::writeBytes(dir / "disc.img", bytes.image);
    testing::writeBytes(dir / "disc.idx", bytes.index);
  }

  TempDir dir;
  std::vector<std::string> mounted_;
};

TEST_F(MountProgram, ShowsTheExtractedTreeReadOnlyAndUnmounts) {
  const ProgramResult packed = runProgram(
      ORVEX_TOOL_BINARY,
      {"pack", std::string(ORVEX_SOURCE_DIR) + "/sample/disc", "disc.img", "disc.idx"}, dir.path());
  ASSERT_EQ(packed.status, 0) << packed.err;
  fs::copy_file(std::string(ORVEX_SOURCE_DIR) + "/sample/eventsTable", dir / "eventsTable");
  const Tree expected = extract({"--events", "eventsTable"});
  const std::string point = mount("sample", {"--events", "eventsTable"});
  if (point.empty()) GTEST_SKIP() << notPermitted;
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(readThrough(point), expected);

  // Read-only: nothing can be made, changed or removed.
  EXPECT_EQ(open((point + "/docs/credits.txt").c_str(), O_WRONLY | O_CLOEXEC), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(mkdir((point + "/new").c_str(), 0755), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(unlink((point + "/docs/credits.txt").c_str()), -1);
  EXPECT_EQ(errno, EROFS);
  struct stat st;
  ASSERT_EQ(stat((point + "/docs/credits.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);

  // Neither a second mount on the same point nor one over a file.
  testing::writeText(dir / "file", "a file");
  for (const auto& [at, reason] : std::vector<std::pair<std::string, std::string>>{
           {point, "a file system is mounted there already"}, {dir / "file", "not a folder"}}) {
    const ProgramResult again =
        runProgram(ORVEX_TOOL_BINARY, {"mount", "disc.img", "disc.idx", at}, dir.path());
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "orvex-tool: mount: cannot mount at " + at + ": " + reason + "\n");
  }

  ASSERT_EQ(runProgram("/bin/sh", {"-c", "fusermount3 -u " + point}, dir.path()).status, 0);
  mounted_.clear();
  EXPECT_TRUE(fs::is_empty(point));
}

TEST_F(MountProgram, InTheForegroundAnInterruptUnmounts) {
  ASSERT_EQ(
      runProgram(ORVEX_TOOL_BINARY,
                 {"pack", std::string(ORVEX_SOURCE_DIR) + "/sample/disc", "disc.img", "disc.idx"},
                 dir.path())
          .status,
      0);
  fs::create_directory(dir / "fg");
  // A mount whose server is gone fails with ENOTCONN.
  const auto mounted = [&] {
    struct statfs st;
    if (statfs((dir / "fg").c_str(), &st) != 0) return errno == ENOTCONN;
    return st.f_type == kFuseMagic;
  };
  bool wasMounted = false;
  testing::ProgramOptions watch;
  watch.whileRunning = [&](testing::RunningProgram& program) {
    for (int i = 0; i < 1000 && !program.hasExited() && !wasMounted; ++i) {
      wasMounted = mounted();
      if (!wasMounted) usleep(10000);
    }
    program.interrupt();
  };
  // A mount point given relative to where the command runs.
  const ProgramResult r = runProgram(
      ORVEX_TOOL_BINARY, {"mount", "-f", "disc.img", "disc.idx", "fg"}, dir.path(), watch);
  if (!wasMounted && (r.err.find("not permitted") != std::string::npos ||
                      r.err.find("Permission denied") != std::string::npos))
    GTEST_SKIP() << r.err;
  EXPECT_TRUE(wasMounted) << r.err;
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(mounted());
  if (mounted()) mounted_.push_back(dir / "fg");
}

TEST_F(MountProgram, AGeneratedDiscWithUnnamedAndDamagedEntriesReadsThrough) {
  DiscBuilder disc;
  disc.addStored("menu.ard",
                 encodeNameList({"a/b/c.txt", "eventsTable", "ev/one.evt", "bad.z", "big.z"}));
  disc.addCompressedStream("a/b/c.txt", testing::compressed(testing::textLike(5000, 1)));
  disc.addStored("eventsTable", testing::eventsTable({"ev/one.evt"}));
  disc.addCompressedStream("ev/one.evt",
                           testing::compressed(testing::eventFile(3, {20, 30, 45}, 60)));
  disc.addCompressedStream("bad.z", {'a', 'b', 0x00, 0x00, 0x09, 0x80});
  disc.addCompressedStream("big.z", testing::compressed(testing::textLike(300000, 3)));
  disc.addStored("hidden", bytesOf("no name reaches it"));
  writeDisc(disc);
  Tree expected = extract({});
  expected["bad.z"] = "<EIO>";
  expected["_unnamed"] = "<dir>";
  char hidden[32];
  std::snprintf(hidden, sizeof hidden, "_unnamed/%08X.bin", hashName("hidden"));
  expected[hidden] = "no name reaches it";
  // A cache smaller than big.z: it is decoded alone and kept while read.
  const std::string point = mount("generated", {"--cache-size", "64K"});
  if (point.empty()) GTEST_SKIP() << notPermitted;
  ASSERT_FALSE(HasFailure());
  EXPECT_EQ(readThrough(point), expected);
}

TEST_F(MountProgram, ADamagedDiscIsReadThroughWithoutACrash) {
  DiscBuilder disc;
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) names.emplace_back("f").append(std::to_string(i));
  disc.addStored("menu.ard", encodeNameList(names));
  for (int i = 0; i < 20; ++i)
    disc.addCompressedStream(names[i], testing::compressed(testing::textLike(4000, i)));
  DiscBytes bytes = buildDisc(disc);
  for (size_t at = 16 * 2048 + 3000; at < bytes.image.size(); at += 997) bytes.image[at] ^= 0x5A;
  testing::writeBytes(dir / "disc.img", bytes.image);
  testing::writeBytes(dir / "disc.idx", bytes.index);
  const std::string point = mount("damaged", {});
  if (point.empty()) GTEST_SKIP() << notPermitted;
  ASSERT_FALSE(HasFailure());
  readThrough(point);
  readThrough(point);
  // Still answering.
  EXPECT_TRUE(fs::is_directory(point));
  EXPECT_FALSE(fs::is_empty(point));
}

}  // namespace
}  // namespace orvex
