#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "pack.h"
#include "program.h"
#include "tool.h"

namespace orvex {
namespace {

namespace fs = std::filesystem;

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> listDir(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A source tree "src" and an output folder "out" that already holds an
// image from an earlier run, in a fresh temporary directory.
class PackCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.path();
    src_ = root_ / "src";
    out_ = root_ / "out";
    writeText(src_ / "docs/readme.txt", "hello\n");
    writeText(out_ / "disc.img", "earlier image");
  }

  int pack(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {src_.string(), (out_ / "disc.img").string(),
                                     (out_ / "disc.idx").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    out_text_.str("");
    err_text_.str("");
    return runPackCommand(args, out_text_, err_text_);
  }

  testing::TempDir dir_;
  fs::path root_, src_, out_;
  std::ostringstream out_text_, err_text_;
};

struct RefusalCase {
  const char* what;
  std::function<void(const fs::path& src, const fs::path& root)> setUp;
  std::vector<std::string> mention;  // every one must appear in the message
  long lines = 1;                    // one for each problem
  const char* needs = nullptr;       // what the tree needs that only POSIX systems have
};

class PackRefusal : public PackCommandTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(PackRefusal, FailsNamingTheFileAndLeavesOutputsAlone) {
  if (GetParam().needs) ORVEX_SKIP_WITHOUT_POSIX(GetParam().needs);
  GetParam().setUp(src_, root_);
  EXPECT_EQ(pack(), 1);
  const std::string message = err_text_.str();
  EXPECT_EQ(message.rfind("orvex-tool: pack: ", 0), 0u) << message;
  EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), GetParam().lines) << message;
  EXPECT_EQ(message.find("\n\n"), std::string::npos) << message;
  for (size_t at = message.find('\n'); at + 1 < message.size(); at = message.find('\n', at + 1))
    EXPECT_EQ(message.compare(at + 1, 18, "orvex-tool: pack: "), 0) << message;
  for (const std::string& m : GetParam().mention)
    EXPECT_NE(message.find(m), std::string::npos) << "missing '" << m << "' in " << message;
  EXPECT_EQ(out_text_.str(), "");
  // No index, no temporary file, and the earlier image untouched.
  EXPECT_EQ(listDir(out_), std::vector<std::string>{"disc.img"});
  std::ifstream image(out_ / "disc.img");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(image), {}), "earlier image");
}

// Found by a meet-in-the-middle search over [a-z0-9]{8}.
constexpr char kSameHashAsNameList[] = "af3f3rgo";

INSTANTIATE_TEST_SUITE_P(
    Trees, PackRefusal,
    ::testing::Values(RefusalCase{"name too long",
                                  [](const fs::path& src, const fs::path&) {
                                    writeText(src / "data/a_name_of_thirty_two_bytes.bin", "x");
                                  },
                                  {"data/a_name_of_thirty_two_bytes.bin", "31 bytes"}},
                      RefusalCase{"name list in the tree",
                                  [](const fs::path& src, const fs::path&) {
                                    writeText(src / "menu.ard", "");
                                  },
                                  {"menu.ard", "reserved"}},
                      RefusalCase{"two names with one hash",
                                  [](const fs::path& src, const fs::path&) {
                                    writeText(src / "xo37.bin", "1");
                                    writeText(src / "xi02.bin", "2");
                                  },
                                  {"xi02.bin", "xo37.bin", "0x004A61CD"}},
                      RefusalCase{"a numbered list name",
                                  [](const fs::path& src, const fs::path&) {
                                    writeText(src / "tz42.ard", "1");
                                  },
                                  {"tz42.ard", "name list"}},
                      RefusalCase{"a name with the name list's hash",
                                  [](const fs::path& src, const fs::path&) {
                                    ASSERT_EQ(hashName(kSameHashAsNameList),
                                              hashName(NAME_LIST_NAME));
                                    writeText(src / kSameHashAsNameList, "1");
                                  },
                                  {kSameHashAsNameList, "menu.ard"}},
                      RefusalCase{"symlink out of the tree",
                                  [](const fs::path& src, const fs::path& root) {
                                    writeText(root / "secret", "s");
                                    fs::create_symlink(root / "secret", src / "docs/link");
                                  },
                                  {"docs/link", "outside"},
                                  1,
                                  "symbolic links"},
                      RefusalCase{"relative symlink climbing out",
                                  [](const fs::path& src, const fs::path& root) {
                                    writeText(root / "secret", "s");
                                    fs::create_symlink("../../secret", src / "docs/up");
                                  },
                                  {"docs/up", "outside"},
                                  1,
                                  "symbolic links"},
                      RefusalCase{"broken symlink",
                                  [](const fs::path& src, const fs::path&) {
                                    fs::create_symlink("nowhere", src / "docs/dangling");
                                  },
                                  {"docs/dangling", "broken"},
                                  1,
                                  "symbolic links"},
                      RefusalCase{"symlink to a directory",
                                  [](const fs::path& src, const fs::path&) {
                                    fs::create_directory_symlink("..", src / "docs/loop");
                                  },
                                  {"docs/loop", "directory"},
                                  1,
                                  "symbolic links"},
                      RefusalCase{"fifo",
                                  [](const fs::path& src, const fs::path&) {
                                    testing::makeFifo((src / "pipe").string());
                                  },
                                  {"pipe", "not a regular file"},
                                  1,
                                  "FIFOs"},
                      RefusalCase{"file of 4 GiB",
                                  [](const fs::path& src, const fs::path&) {
                                    writeText(src / "huge.bin", "");
                                    fs::resize_file(src / "huge.bin", uint64_t{1} << 32);  // sparse
                                  },
                                  {"huge.bin", "4 GiB"}},
                      RefusalCase{"missing source directory",
                                  [](const fs::path& src, const fs::path&) { fs::remove_all(src); },
                                  {"src"}},
                      RefusalCase{"source is a file",
                                  [](const fs::path& src, const fs::path&) {
                                    fs::remove_all(src);
                                    writeText(src, "x");
                                  },
                                  {"src", "not a directory"}},
                      RefusalCase{"two names too long",
                                  [](const fs::path& src, const fs::path&) {
                                    writeText(src / "data/a_name_of_thirty_two_bytes.bin", "x");
                                    writeText(src / "data/another_name_of_33_bytes.bin", "y");
                                  },
                                  {"data/a_name_of_thirty_two_bytes.bin",
                                   "data/another_name_of_33_bytes.bin"},
                                  2},
                      RefusalCase{"every kind of problem at once",
                                  [](const fs::path& src, const fs::path& root) {
                                    writeText(src / "data/a_name_of_thirty_two_bytes.bin", "x");
                                    writeText(src / "xo37.bin", "1");
                                    writeText(src / "xi02.bin", "2");
                                    writeText(src / "tz42.ard", "3");
                                    writeText(root / "secret", "s");
                                    fs::create_symlink(root / "secret", src / "docs/link");
                                    fs::create_directory_symlink("..", src / "docs/loop");
                                    testing::makeFifo((src / "pipe").string());
                                    writeText(src / "huge.bin", "");
                                    fs::resize_file(src / "huge.bin", uint64_t{1} << 32);
                                  },
                                  {"data/a_name_of_thirty_two_bytes.bin", "0x004A61CD", "tz42.ard",
                                   "docs/link", "docs/loop", "pipe", "FIFO", "huge.bin"},
                                  7,
                                  "symbolic links and FIFOs"}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

// Root reads a file whatever its mode, so the tool runs as an ordinary user:
// from a copy that user can run, over a tree that user can reach.
TEST_F(PackCommandTest, RefusesUnreadableFile) {
  ORVEX_SKIP_WITHOUT_POSIX("file modes and another user");
  writeText(src_ / "locked.bin", "x");
  const std::string tool = testing::copyProgram(ORVEX_TOOL_BINARY, root_.string());
  testing::shareWithEveryone(root_.string());
  fs::permissions(src_ / "locked.bin", fs::perms::none);
  testing::ProgramOptions options;
  options.asOrdinaryUser = true;
  const std::vector<std::string> args = {"pack", src_.string(), (out_ / "disc.img").string(),
                                         (out_ / "disc.idx").string()};

  const testing::ProgramResult refused = testing::runProgram(tool, args, root_.string(), options);
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_NE(refused.err.find("locked.bin"), std::string::npos) << refused.err;
  EXPECT_EQ(listDir(out_), std::vector<std::string>{"disc.img"});
  std::ifstream image(out_ / "disc.img");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(image), {}), "earlier image");

  // Readable again, the same tree packs as the same user: the refusal came
  // from the file's mode alone.
  fs::permissions(src_ / "locked.bin", fs::perms::owner_read | fs::perms::others_read);
  const testing::ProgramResult packed = testing::runProgram(tool, args, root_.string(), options);
  EXPECT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(listDir(out_), (std::vector<std::string>{"disc.idx", "disc.img"}));
}

TEST_F(PackCommandTest, RefusesOutputsInsideTheSourceDirectory) {
  for (const auto& [image, index] : std::vector<std::pair<fs::path, fs::path>>{
           {src_ / "disc.img", out_ / "disc.idx"},
           {out_ / "disc.img", src_ / "docs/disc.idx"},
           {out_ / "disc.img", out_ / "../src/../src/disc.idx"}}) {
    std::ostringstream out, err;
    EXPECT_EQ(runPackCommand({src_.string(), image.string(), index.string()}, out, err), 1)
        << image << " " << index;
    EXPECT_NE(err.str().find("inside the source directory"), std::string::npos) << err.str();
  }
  EXPECT_EQ(listDir(src_), std::vector<std::string>{"docs"});
  EXPECT_EQ(listDir(src_ / "docs"), std::vector<std::string>{"readme.txt"});
}

TEST_F(PackCommandTest, RefusesOneFileForImageAndIndex) {
  std::ostringstream out, err;
  EXPECT_EQ(runPackCommand(
                {src_.string(), (out_ / "disc.img").string(), (out_ / "../out/disc.img").string()},
                out, err),
            1);
  EXPECT_NE(err.str().find("different"), std::string::npos) << err.str();
}

TEST_F(PackCommandTest, WarnsOfEachEmptyFolderItLeavesOut) {
  fs::create_directories(src_ / "empty");
  fs::create_directories(src_ / "outer/inner");
  ASSERT_EQ(pack(), 0) << err_text_.str();
  // outer holds inner, so only inner is empty; docs holds a file.
  EXPECT_EQ(err_text_.str().rfind("orvex-tool: pack: warning: empty: empty folder, not kept "
                                  "(a disc holds folders only as parts of file names)\n"
                                  "orvex-tool: pack: warning: outer/inner: empty folder, not kept "
                                  "(a disc holds folders only as parts of file names)\n"
                                  "orvex-tool: pack: 1 file, ",
                                  0),
            0u)
      << err_text_.str();
}

struct OptionCase {
  std::vector<std::string> options;
  uint32_t baseSector;
  bool compressed;  // whether the text file ends up compressed
};

class PackCommandOptions : public PackCommandTest,
                           public ::testing::WithParamInterface<OptionCase> {};

TEST_P(PackCommandOptions, ReachThePacker) {
  writeText(src_ / "text.txt", std::string(3000, 't'));
  ASSERT_EQ(pack(GetParam().options), 0) << err_text_.str();
  // The summary: files, bytes in, bytes stored (as they are, when not compressed).
  EXPECT_EQ(err_text_.str().rfind("orvex-tool: pack: 2 files, 2.9 KiB in, ", 0), 0u)
      << err_text_.str();
  EXPECT_EQ(err_text_.str().ends_with(", 2.9 KiB stored\n"), !GetParam().compressed)
      << err_text_.str();
  EXPECT_EQ(out_text_.str(), "");

  Store store;
  Problems oddities;
  ASSERT_TRUE(openStore((out_ / "disc.img").string(), (out_ / "disc.idx").string(), &store,
                        &oddities, nullptr, io::realFs())
                  .isOk());
  EXPECT_EQ(store.image.baseSector, GetParam().baseSector);
  const IndexEntry* text = findEntry(store.index, "text.txt");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ((text->flags & FLAG_COMPRESSED) != 0, GetParam().compressed);
  EXPECT_EQ(listDir(out_), (std::vector<std::string>{"disc.idx", "disc.img"}));
}

INSTANTIATE_TEST_SUITE_P(
    Options, PackCommandOptions,
    ::testing::Values(OptionCase{{}, 16, true}, OptionCase{{"--store"}, 16, false},
                      OptionCase{{"--compress", "--base-sector", "0"}, 0, true},
                      OptionCase{{"--base-sector=299", "--store", "--auto"}, 299, true},
                      OptionCase{{"--auto", "--store", "--base-sector", "7"}, 7, false}));

}  // namespace
}  // namespace orvex
