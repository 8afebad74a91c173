// orvex-tool mount as a user meets it: the disc mounted, every file read
// through the kernel and compared with what extract writes, writes refused,
// a damaged disc read through, and unmounted. Skipped where FUSE cannot be
// used (no /dev/fuse, no fusermount3, or mounting not permitted).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

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

// Whether the bytes of path from offset on, length of them, are all in the
// kernel's cache (a mapping is asked; nothing is read).
bool cached(const std::string& path, size_t offset, size_t length) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t start = offset / page * page;
  const size_t span = offset + length - start;
  void* map = mmap(nullptr, span, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
  close(fd);
  if (map == MAP_FAILED) return false;
  std::vector<unsigned char> pages((span + page - 1) / page);
  const bool known = mincore(map, span, pages.data()) == 0;
  munmap(map, span);
  return known && std::all_of(pages.begin(), pages.end(), [](unsigned char p) { return p & 1; });
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

// A reader that reads a folder's files in order, or a large file from its
// start on, finds what it reads next in the kernel's cache, stored by the
// mount before it is asked for, byte for byte as extract writes it.
TEST_F(MountProgram, WhatIsReadNextIsStoredAheadByteForByte) {
  std::vector<std::string> names;
  for (char c = 'a'; c <= 'l'; ++c) names.push_back(std::string("d/") + c);
  names.push_back("large.z");
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList(names));
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    const std::vector<uint8_t> text = testing::textLike(30000 + 1000 * i, static_cast<uint32_t>(i));
    if (i % 3 == 0) {
      disc.addStored(names[i], text);
    } else {
      disc.addCompressedStream(names[i], testing::compressed(text));
    }
  }
  constexpr size_t kLarge = 9 << 20;
  disc.addCompressedStream("large.z", testing::compressed(testing::textLike(kLarge, 99)));
  writeDisc(disc);
  const Tree expected = extract({});
  const std::string point = mount("ahead", {});
  if (point.empty()) GTEST_SKIP() << notPermitted;
  ASSERT_FALSE(HasFailure());

  // The folder listed, as a walk lists it; its first file and the first
  // stretch of the large one read.
  EXPECT_EQ(std::distance(fs::directory_iterator(point + "/d"), fs::directory_iterator()), 12);
  for (const std::string& name : {std::string("d/a"), std::string("large.z")}) {
    const int fd = open((point + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << name;
    char buffer[131072];
    EXPECT_GT(read(fd, buffer, sizeof buffer), 0) << name;
    close(fd);
  }
  // Later files of the folder, and the large file's bytes a few MiB on,
  // are stored without a read.
  const auto stored = [&] {
    return cached(point + "/d/l", 0, 41000) && cached(point + "/d/k", 0, 40000) &&
           cached(point + "/large.z", size_t{6} << 20, size_t{1} << 20);
  };
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!stored() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(stored());
  EXPECT_EQ(readThrough(point), expected);
}

}  // namespace
}  // namespace orvex
