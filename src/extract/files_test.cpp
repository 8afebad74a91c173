#include "files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace orvex {
namespace {
namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "orvex-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = pattern;
  }
  void TearDown() override { fs::remove_all(root); }

  std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  size_t entriesIn(const std::string& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
  }
  bool write(const std::string& path, const std::string& text, std::string* error) {
    return writeFileAtomic(path, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                           error);
  }

  std::string root;
};

TEST_F(FilesTest, WritesThroughMissingDirectoriesAndReplaces) {
  std::string error;
  const std::string path = root + "/a/b/c/file";
  ASSERT_TRUE(write(path, "one", &error)) << error;
  EXPECT_EQ(contents(path), "one");
  ASSERT_TRUE(write(path, "second", &error)) << error;
  EXPECT_EQ(contents(path), "second");
  EXPECT_EQ(entriesIn(root + "/a/b/c"), 1u);  // no temporary left behind
}

TEST_F(FilesTest, KeepModeNeverOverwrites) {
  std::string error;
  ASSERT_TRUE(write(root + "/f", "first", &error)) << error;
  EXPECT_FALSE(writeFileAtomic(root + "/f", reinterpret_cast<const uint8_t*>("x"), 1, &error,
                               Existing::kKeep));
  EXPECT_EQ(error, "already exists");
  EXPECT_EQ(contents(root + "/f"), "first");
  EXPECT_EQ(entriesIn(root), 1u);

  const int fd = open((root + "/f").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  error.clear();
  EXPECT_FALSE(copyFileAtomic(root + "/f", fd, 1, 3, &error, Existing::kKeep));
  EXPECT_EQ(error, "already exists");
  ASSERT_TRUE(copyFileAtomic(root + "/g", fd, 1, 3, &error, Existing::kKeep)) << error;
  close(fd);
  EXPECT_EQ(contents(root + "/f"), "first");
  EXPECT_EQ(contents(root + "/g"), "irs");
  EXPECT_EQ(entriesIn(root), 2u);
}

TEST_F(FilesTest, ReplacesALinkRatherThanWritingThroughIt) {
  const std::string target = root + "/target";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, root + "/link");
  std::string error;
  ASSERT_TRUE(write(root + "/link", "new", &error)) << error;
  EXPECT_EQ(contents(target), "keep");
  EXPECT_FALSE(fs::is_symlink(root + "/link"));
  EXPECT_EQ(contents(root + "/link"), "new");
}

TEST_F(FilesTest, FailureLeavesNothingBehind) {
  std::ofstream(root + "/plain") << "x";
  std::string error;
  EXPECT_FALSE(write(root + "/plain/under", "data", &error));
  EXPECT_FALSE(error.empty());
  fs::create_directory(root + "/dir");
  error.clear();
  EXPECT_FALSE(write(root + "/dir", "data", &error));  // a directory is in the way
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(entriesIn(root), 2u);
  EXPECT_EQ(entriesIn(root + "/dir"), 0u);
}

TEST_F(FilesTest, CopiesARangeOfAnotherFile) {
  // The source sits on the same file system, and where there is one, on a
  // memory file system, whose copies go through a buffer instead.
  std::vector<std::string> sources = {root + "/source"};
  if (fs::is_directory("/dev/shm")) sources.push_back("/dev/shm/orvex-files-test-source");
  for (const std::string& source : sources) {
    std::string text(3 << 20, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 23);
    std::ofstream(source, std::ios::binary) << text;
    const int fd = open(source.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string error;
    ASSERT_TRUE(copyFileAtomic(root + "/out/copy", fd, 5, text.size() - 9, &error)) << error;
    EXPECT_EQ(contents(root + "/out/copy"), text.substr(5, text.size() - 9)) << source;
    // A range past the end of the source leaves nothing behind.
    EXPECT_FALSE(copyFileAtomic(root + "/out/short", fd, text.size() - 3, 4, &error));
    EXPECT_FALSE(fs::exists(root + "/out/short"));
    EXPECT_EQ(entriesIn(root + "/out"), 1u);
    close(fd);
    fs::remove(source);
  }
}

TEST_F(FilesTest, ExistenceCountsDirectories) {
  fs::create_directory(root + "/d");
  std::ofstream(root + "/f") << "";
  EXPECT_TRUE(fileExists(root + "/d"));
  EXPECT_TRUE(fileExists(root + "/f"));
  EXPECT_FALSE(fileExists(root + "/missing"));
  EXPECT_FALSE(fileExists(root + "/f/under"));
}

TEST_F(FilesTest, ReadLocalFileTellsMissingFromNotAFile) {
  std::vector<uint8_t> bytes;
  std::string error;
  std::ofstream(root + "/f") << "abc";
  EXPECT_EQ(readLocalFile(root + "/f", &bytes, &error), ReadLocal::kOk);
  EXPECT_EQ(bytes.size(), 3u);
  EXPECT_EQ(readLocalFile(root + "/none", &bytes, &error), ReadLocal::kMissing);
  EXPECT_EQ(readLocalFile(root, &bytes, &error), ReadLocal::kNotAFile);
}

}  // namespace
}  // namespace orvex
