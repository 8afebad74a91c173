#include "output_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/inotify.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "beneath.h"
#include "program.h"

namespace orvex {
namespace {
namespace fs = std::filesystem;
using ::orvex::testing::snapshotTree;
using ::orvex::testing::TempDir;
using ::orvex::testing::writeText;
using Code = Status::Code;
using Presence = OutputDir::Presence;

io::File openSource(const std::string& path) {
  io::File file;
  EXPECT_TRUE(
      io::realFs()
          .openFile(io::Folder::working(), path, io::FileIntent::kRead, io::Follow::kYes, &file)
          .isOk());
  return file;
}

// Every case runs with the kernel's beneath-resolution and with the
// component-by-component walk.
class OutputDirTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    walk = std::string(GetParam()) == "walk";
    io::setWalkingResolution(walk);
#ifndef ORVEX_LINUX
    walk = true;  // built without the kernel's resolution
#endif
    fs::create_directories(tmp / "outside");
    writeText(tmp / "outside/secret", "secret");
    ASSERT_TRUE(OutputDir::open(root, true, &out, io::realFs()).isOk());
  }
  void TearDown() override { io::setWalkingResolution(false); }

  Status write(const std::string& name, const std::string& text) {
    return out->writeNew(name, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  Status replace(const std::string& name, const std::string& text) {
    return out->writeReplacing(name, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  Code presence(const std::string& name, Presence* seen) { return out->probe(name, seen).code(); }

  TempDir tmp;
  const std::string root = tmp / "out/nested";
  bool walk = false;
  std::unique_ptr<OutputDir> out;
};

TEST_P(OutputDirTest, ParentLinkLeadingOutIsRefusedAndWritesNothing) {
  ORVEX_SKIP_WITHOUT_POSIX("symbolic links");
  for (const std::string& target : {std::string("../../outside"), tmp / "outside"}) {
    SCOPED_TRACE(target);
    fs::remove(root + "/esc");
    fs::create_directory_symlink(target, root + "/esc");
    const auto before = snapshotTree(tmp / "outside");
    Presence seen;
    std::vector<uint8_t> bytes;
    EXPECT_EQ(presence("esc/secret", &seen), Code::kUnsafe);
    EXPECT_EQ(write("esc/new", "x").code(), Code::kUnsafe);
    EXPECT_EQ(write("esc/deeper/new", "x").code(), Code::kUnsafe);
    EXPECT_EQ(replace("esc/piece", "x").code(), Code::kUnsafe);
    EXPECT_EQ(out->makeDirectories("esc/dir").code(), Code::kUnsafe);
    EXPECT_EQ(out->readFile("esc/secret", &bytes).code(), Code::kUnsafe);
    EXPECT_EQ(snapshotTree(tmp / "outside"), before);
  }
}

TEST_P(OutputDirTest, LeafLinkLeadingOutIsNeverReadOrWrittenThrough) {
  ORVEX_SKIP_WITHOUT_POSIX("symbolic links");
  fs::create_symlink(tmp / "outside/secret", root + "/leaf");
  std::vector<uint8_t> bytes;
  EXPECT_EQ(out->readFile("leaf", &bytes).code(), Code::kUnsafe);
  EXPECT_EQ(write("leaf", "x").code(), Code::kExists);
  EXPECT_EQ(snapshotTree(tmp / "outside").at("secret"), "secret");
}

TEST_P(OutputDirTest, LinkInsideAsParentIsFollowedOnlyWithKernelResolution) {
  ORVEX_SKIP_WITHOUT_POSIX("symbolic links");
  fs::create_directories(root + "/real");
  fs::create_directory_symlink("real", root + "/alias");
  const Status s = write("alias/file", "data");
  if (walk) {
    EXPECT_EQ(s.code(), Code::kUnsafe);
    EXPECT_FALSE(fs::exists(root + "/real/file"));
  } else {
    ASSERT_TRUE(s.isOk()) << s.message();
    EXPECT_EQ(snapshotTree(root + "/real").at("file"), "data");
  }
}

TEST_P(OutputDirTest, ProbeSeesEveryKindOfEntry) {
  ORVEX_SKIP_WITHOUT_POSIX("symbolic links and file modes");
  fs::create_directories(root + "/dir");
  fs::create_symlink("nowhere", root + "/dangling");
  fs::create_directory_symlink("dir", root + "/dirlink");
  writeText(root + "/writeonly", "w");
  ASSERT_EQ(chmod((root + "/writeonly").c_str(), 0200), 0);
  const struct {
    const char* name;
    Presence expected;
  } cases[] = {
      {"dir", Presence::kDirectory},      {"dangling", Presence::kPresent},
      {"dirlink", Presence::kPresent},    {"writeonly", Presence::kPresent},
      {"missing", Presence::kAbsent},     {"no/such/parent", Presence::kAbsent},
      {"writeonly/x", Presence::kAbsent},
  };
  for (const auto& c : cases) {
    Presence seen = Presence::kAbsent;
    EXPECT_EQ(presence(c.name, &seen), Code::kOk) << c.name;
    EXPECT_EQ(seen, c.expected) << c.name;
  }
}

TEST_P(OutputDirTest, WriteNewNeverReplacesWhatAppearsAfterProbe) {
  Presence seen;
  ASSERT_EQ(presence("a/b/file", &seen), Code::kOk);
  ASSERT_EQ(seen, Presence::kAbsent);
  fs::create_directories(root + "/a/b");
  writeText(root + "/a/b/file", "theirs");
  EXPECT_EQ(write("a/b/file", "ours").code(), Code::kExists);
  std::map<std::string, std::string> expected = {
      {"a", "<dir>"}, {"a/b", "<dir>"}, {"a/b/file", "theirs"}};
  if (testing::kPosix) {
    fs::create_symlink("../../target", root + "/a/b/dangling");
    EXPECT_EQ(write("a/b/dangling", "ours").code(), Code::kExists);
    expected["a/b/dangling"] = "<link>";
  }
  // The whole tree: no temporary left behind, nothing created through the link.
  EXPECT_EQ(snapshotTree(root), expected);
}

TEST_P(OutputDirTest, WritesCreateMissingParentsAtEveryLevel) {
  ASSERT_TRUE(write("top", "0").isOk());
  ASSERT_TRUE(write("one/two/three/deep", "3").isOk());
  ASSERT_TRUE(write("one/side", "1").isOk());
  ASSERT_TRUE(replace("one/two/piece", "p").isOk());
  writeText(tmp / "image", "0123456789");
  const io::File image = openSource(tmp / "image");
  ASSERT_TRUE(out->copyNew("copy/of/image", image, 2, 5).isOk());
  EXPECT_EQ(out->copyNew("short", image, 8, 5).code(), Code::kDamaged);
  ASSERT_TRUE(out->makeDirectories("m/n/o").isOk());
  const std::map<std::string, std::string> expected = {{"top", "0"},
                                                       {"one", "<dir>"},
                                                       {"one/two", "<dir>"},
                                                       {"one/two/three", "<dir>"},
                                                       {"one/two/three/deep", "3"},
                                                       {"one/side", "1"},
                                                       {"one/two/piece", "p"},
                                                       {"copy", "<dir>"},
                                                       {"copy/of", "<dir>"},
                                                       {"copy/of/image", "23456"},
                                                       {"m", "<dir>"},
                                                       {"m/n", "<dir>"},
                                                       {"m/n/o", "<dir>"}};
  EXPECT_EQ(snapshotTree(root), expected);
}

TEST_P(OutputDirTest, FileInTheWayOfAFolderIsAnErrorNamingIt) {
  writeText(root + "/plain", "p");
  const Status made = out->makeDirectories("plain/sub");
  EXPECT_FALSE(made.isOk());
  EXPECT_NE(made.message().find("plain"), std::string::npos) << made.message();
  EXPECT_FALSE(write("plain/sub/file", "x").isOk());
  EXPECT_EQ(snapshotTree(root).at("plain"), "p");
}

TEST_P(OutputDirTest, WriteReplacingReplacesLinkNotItsTarget) {
  ORVEX_SKIP_WITHOUT_POSIX("symbolic links");
  writeText(root + "/target", "kept");
  fs::create_symlink("target", root + "/piece");
  fs::create_symlink(tmp / "outside/secret", root + "/outpiece");
  ASSERT_TRUE(replace("piece", "new").isOk());
  ASSERT_TRUE(replace("outpiece", "new").isOk());
  ASSERT_TRUE(replace("piece", "newer").isOk());
  fs::create_directories(root + "/dir");
  EXPECT_FALSE(replace("dir", "x").isOk());
  const std::map<std::string, std::string> expected = {
      {"target", "kept"}, {"piece", "newer"}, {"outpiece", "new"}, {"dir", "<dir>"}};
  EXPECT_EQ(snapshotTree(root), expected);
  EXPECT_EQ(snapshotTree(tmp / "outside").at("secret"), "secret");
}

// A process killed at any moment must leave no temporary file behind, so
// where files can be made without a name, a new file's only name in the
// folder is its own; a second name is taken only to replace an entry that is
// already there. Elsewhere each new file starts under a temporary name.
TEST_P(OutputDirTest, FilesAppearOnlyUnderTheirOwnNameUnlessReplacing) {
  ORVEX_SKIP_WITHOUT_POSIX("inotify");
#ifndef _WIN32
  bool unnamed = false;
#ifdef ORVEX_LINUX
  const int fd = openat(AT_FDCWD, root.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  unnamed = fd >= 0;
  if (unnamed) close(fd);
#endif
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, root.c_str(), IN_CREATE | IN_MOVED_TO), 0);
  const auto namesSeen = [&] {
    std::vector<std::string> names;
    alignas(inotify_event) char buffer[4096];
    ssize_t got;
    while ((got = read(watch, buffer, sizeof buffer)) > 0)
      for (char* at = buffer; at < buffer + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        names.emplace_back(event->name);
        at += sizeof(inotify_event) + event->len;
      }
    return names;
  };
  ASSERT_TRUE(write("new", "n").isOk());
  ASSERT_TRUE(replace("piece", "p").isOk());
  const std::vector<std::string> creating = namesSeen();
  if (unnamed) {
    EXPECT_EQ(creating, (std::vector<std::string>{"new", "piece"}));
  } else {
    ASSERT_EQ(creating.size(), 4u);
    EXPECT_EQ(creating[0].rfind(".orvex-tmp-", 0), 0u) << creating[0];
    EXPECT_EQ(creating[1], "new");
    EXPECT_EQ(creating[2].rfind(".orvex-tmp-", 0), 0u) << creating[2];
    EXPECT_EQ(creating[3], "piece");
  }
  ASSERT_TRUE(replace("piece", "q").isOk());
  const std::vector<std::string> replacing = namesSeen();
  ASSERT_EQ(replacing.size(), 2u);
  EXPECT_EQ(replacing[0].rfind(".orvex-tmp-", 0), 0u) << replacing[0];
  EXPECT_EQ(replacing[1], "piece");
  close(watch);
#endif
}

TEST_P(OutputDirTest, ReadFileTellsMissingFromNotAFile) {
  fs::create_directories(root + "/dir");
  writeText(root + "/dir/file", "content");
  std::vector<uint8_t> bytes;
  EXPECT_EQ(out->readFile("missing", &bytes).code(), Code::kNotFound);
  EXPECT_EQ(out->readFile("nodir/missing", &bytes).code(), Code::kNotFound);
  EXPECT_EQ(out->readFile("dir", &bytes).code(), Code::kInvalid);
  ASSERT_TRUE(out->readFile("dir/file", &bytes).isOk());
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "content");
}

TEST_P(OutputDirTest, CopiesARangeOfAnotherFile) {
  // The source sits on the same file system, and where there is one, on a
  // memory file system, which copy_file_range refuses and sendfile takes.
  std::vector<std::string> sources = {tmp / "source"};
  // One name per process: the cases of this test run side by side.
  if (fs::is_directory("/dev/shm"))
    sources.push_back("/dev/shm/orvex-output-test-source-" + std::to_string(getpid()));
  for (const std::string& source : sources) {
    SCOPED_TRACE(source);
    std::string text(3 << 20, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 23);
    writeText(source, text);
    const io::File fd = openSource(source);
    fs::remove_all(root + "/out");
    ASSERT_TRUE(out->copyNew("out/copy", fd, 5, text.size() - 9).isOk());
    EXPECT_EQ(snapshotTree(root + "/out")["copy"], text.substr(5, text.size() - 9));
    // Where copy_file_range refused the pair, later copies go straight to
    // the other way, with the same result.
    ASSERT_TRUE(out->copyNew("out/again", fd, 7, 1 << 20).isOk());
    EXPECT_EQ(snapshotTree(root + "/out")["again"], text.substr(7, 1 << 20));
    // A range past the end of the source leaves nothing behind.
    EXPECT_FALSE(out->copyNew("out/short", fd, text.size() - 3, 4).isOk());
    EXPECT_EQ(snapshotTree(root + "/out").size(), 2u);
    fs::remove(source);
  }
}

INSTANTIATE_TEST_SUITE_P(Resolution, OutputDirTest, ::testing::Values("openat2", "walk"));

}  // namespace
}  // namespace orvex
