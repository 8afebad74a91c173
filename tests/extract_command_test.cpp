// Whole-program tests of `orvex-tool extract` and `orvex-tool cat`, and of
// `orvex-tool list` describing the same run, against the real binaries.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "disc_builder.h"
#include "disc_content.h"
#include "pack.h"
#include "program.h"

namespace orvex {
namespace {

using testing::bytesOf;
using testing::compressed;
using testing::eventFile;
using testing::eventsTable;
using testing::ProgramResult;
using testing::runProgram;
using testing::snapshotTree;
using testing::TempDir;
using testing::writeBytes;
using Tree = std::map<std::string, std::string>;
using Names = std::set<std::string>;

// Bytes that a text-mode stream would not carry unchanged.
const std::string kBinary = std::string("\0\r\n\xFF\x1A\r\n", 7) + "end";
const std::string kLong(3000, 'z');

Names filesOf(const Tree& tree) {
  Names names;
  for (const auto& [name, content] : tree)
    if (content != "<dir>") names.insert(name);
  return names;
}

class ExtractCommand : public ::testing::Test {
 protected:
  // Lists name the plain files, the store's event table and a damaged entry;
  // only the event table names the event files.
  void SetUp() override {
    std::filesystem::create_directory(work);
    DiscBuilder disc;
    disc.addStored("menu.ard", encodeNameList({"data/a.bin", "data/sub/b.z", "docs/readme.txt",
                                               "eventsTable", "bad.z"}));
    disc.addStored("data/a.bin", bytesOf(kBinary));
    disc.addCompressedStream("data/sub/b.z", compressed(kLong));
    disc.addStored("docs/readme.txt", bytesOf("read me\n"));
    disc.addStored("eventsTable", eventsTable({"events/one.evt", "events/two.evt"}));
    disc.addCompressedStream("bad.z", {'a', 'b', 0x00, 0x00, 0x09, 0x80});
    disc.addStored("events/one.evt", eventFile(2, {16, 18}, 20));
    disc.addStored("events/two.evt", eventFile(1, {12}, 16));
    disc.addStored("extra.evt", eventFile(1, {12}, 14));
    const DiscBytes bytes = buildDisc(disc);
    writeBytes(sandbox / "disc.img", bytes.image);
    writeBytes(sandbox / "disc.idx", bytes.index);
  }

  ProgramResult tool(std::vector<std::string> args) {
    return runProgram(ORVEX_TOOL_BINARY, args, work);
  }

  ProgramResult extract(const std::vector<std::string>& options,
                        const std::vector<std::string>& patterns = {}) {
    std::vector<std::string> args = {"extract"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"../disc.img", "../disc.idx"});
    args.insert(args.end(), patterns.begin(), patterns.end());
    return tool(args);
  }

  TempDir sandbox;
  std::string work = sandbox / "work";
};

TEST_F(ExtractCommand, IntoAMissingFolderWritesWhatOrvexWritesInAnEmptyOne) {
  const std::string reference = sandbox / "reference";
  std::filesystem::create_directory(reference);
  ASSERT_EQ(runProgram(ORVEX_BINARY, {"../disc.img", "../disc.idx"}, reference).status, 1);
  const Tree expected = snapshotTree(reference);
  ASSERT_TRUE(expected.contains("events/one/001.mset")) << "the event pass did not run";

  const ProgramResult r = extract({"-C", "../new/out"});
  EXPECT_EQ(snapshotTree(sandbox / "new/out"), expected);
  EXPECT_TRUE(snapshotTree(work).empty());
  // The damaged entry is the one selected file that could not be written.
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("warning: bad.z: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1 selected file could not be written"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("orvex-tool: extract: 6 files written"), std::string::npos) << r.err;
}

struct PatternCase {
  std::vector<std::string> options;
  std::vector<std::string> patterns;
  Names written;
  int status;
  const char* out;
  const char* err;  // what standard error holds, or "" when it must be empty
};

class ExtractPatterns : public ExtractCommand, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(ExtractPatterns, WriteOnlyTheMatchingFiles) {
  const PatternCase& c = GetParam();
  std::vector<std::string> options = c.options;
  options.insert(options.end(), {"-C", "../out"});
  const ProgramResult r = extract(options, c.patterns);
  EXPECT_EQ(filesOf(snapshotTree(sandbox / "out")), c.written);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.out, c.out);
  if (*c.err) {
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  } else {
    EXPECT_EQ(r.err, "");
  }
}

// The summary of a run without warnings.
constexpr char kSummary[] = " already present, 0 warnings; ";

INSTANTIATE_TEST_SUITE_P(
    Selections, ExtractPatterns,
    ::testing::Values(
        PatternCase{{}, {"docs/readme.txt"}, {"docs/readme.txt"}, 0, "", kSummary},
        PatternCase{{"-v"},
                    {"data"},
                    {"data/a.bin", "data/sub/b.z"},
                    0,
                    "data/a.bin\ndata/sub/b.z\n",
                    kSummary},
        PatternCase{{"-q", "-j", "2"}, {"data/sub/"}, {"data/sub/b.z"}, 0, "", ""},
        // '*' crosses '/'.
        PatternCase{{"-v"}, {"d*b.z"}, {"data/sub/b.z"}, 0, "data/sub/b.z\n", kSummary},
        // The event table is read whatever the patterns select.
        PatternCase{{"-q"},
                    {"events/one.evt"},
                    {"events/one.evt", "events/one/000.mset", "events/one/001.mset"},
                    0,
                    "",
                    ""},
        // Pieces written are listed as files are.
        PatternCase{{"-v"},
                    {"events/two.evt"},
                    {"events/two.evt", "events/two/000.mset"},
                    0,
                    "events/two.evt\nevents/two/000.mset\n",
                    kSummary},
        PatternCase{{"-q"},
                    {"docs", "nothing*"},
                    {"docs/readme.txt"},
                    1,
                    "",
                    "orvex-tool: extract: nothing*: not found in the disc's names"},
        PatternCase{{"-q"},
                    {"bad.z"},
                    {},
                    1,
                    "",
                    "orvex-tool: extract: 1 selected file could not be written (see the warnings "
                    "above)"}));

TEST_F(ExtractCommand, EventsOptionReplacesTheTableAndListDescribesTheSameRun) {
  writeBytes(sandbox / "table", eventsTable({"events/two.evt", "extra.evt"}));
  const std::vector<std::string> options = {"-C", "../out", "--events", "../table"};
  const std::vector<std::string> disc = {"../disc.img", "../disc.idx"};
  std::vector<std::string> list = {"list"};
  list.insert(list.end(), options.begin(), options.end());
  list.insert(list.end(), disc.begin(), disc.end());
  const ProgramResult before = tool(list);
  ASSERT_EQ(before.status, 0) << before.err;

  const ProgramResult r = extract(options, {"events", "extra.evt"});
  EXPECT_EQ(r.status, 0) << r.err;
  const Names expected = {"events/two.evt", "events/two/000.mset", "extra.evt", "extra/000.mset"};
  EXPECT_EQ(filesOf(snapshotTree(sandbox / "out")), expected);

  // events/one.evt and the unselected files' entries stay unreached by the
  // run's names, the same count in both.
  const auto countOf = [](const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(countOf(before.out, " unnamed "), 1u) << before.out;
  EXPECT_NE(r.err.find("1 of 9 index entries reached by no name (see them with: orvex-tool list "
                       "-C ../out --events ../table ../disc.img ../disc.idx)"),
            std::string::npos)
      << r.err;
  const ProgramResult after = tool(list);
  EXPECT_EQ(after.out, before.out);
}

TEST_F(ExtractCommand, CatGivesTheExtractedBytes) {
  ASSERT_EQ(extract({"-q", "-C", "../out"}, {"data"}).status, 0);
  const Tree out = snapshotTree(sandbox / "out");
  ProgramResult r = tool({"cat", "../disc.img", "../disc.idx", "data/sub/b.z", "data/a.bin"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.outBytes, out.at("data/sub/b.z") + out.at("data/a.bin"));
  EXPECT_EQ(r.outBytes, kLong + kBinary);

  r = tool({"cat", "../disc.img", "../disc.idx", "missing", "bad.z", "data/a.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.outBytes, kBinary);
  EXPECT_NE(r.err.find("orvex-tool: cat: missing: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("orvex-tool: cat: bad.z: "), std::string::npos) << r.err;
}

// A full standard output is a failure that says why.
TEST_F(ExtractCommand, CatToAFullStandardOutputSaysWhy) {
  ORVEX_SKIP_WITHOUT_POSIX("/dev/full");
  testing::ProgramOptions full;
  full.outputFile = "/dev/full";
  const ProgramResult r = runProgram(
      ORVEX_TOOL_BINARY, {"cat", "../disc.img", "../disc.idx", "data/sub/b.z"}, work, full);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "orvex-tool: cat: cannot write to standard output: No space left on device\n");
}

}  // namespace
}  // namespace orvex
