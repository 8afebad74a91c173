// Whole-program runs on discs and working directories built to mislead the
// extractor: names that climb out, are too long or name directories, FIFOs
// and files in the way, and event tables with wild offsets. Each run must
// finish, say why it skipped something, and change nothing outside its
// working directory.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "disc_builder.h"
#include "disc_content.h"
#include "pack.h"
#include "program.h"

namespace orvex {
namespace {

using testing::bytesOf;
using testing::eventFile;
using testing::eventsTable;
using testing::ProgramOptions;
using testing::ProgramResult;
using testing::runProgram;
using testing::snapshotTree;
using testing::TempDir;
using testing::textOf;
using testing::writeBytes;
using testing::writeText;
using Tree = std::map<std::string, std::string>;

// A sandbox holding the disc and, two levels down, the working directory, so
// that a name climbing one or two levels lands where the check sees it.
class HostileDiscTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(work); }

  void writeDisc(const DiscBuilder& disc) {
    const DiscBytes bytes = buildDisc(disc);
    writeBytes(sandbox / "disc.img", bytes.image);
    writeBytes(sandbox / "disc.idx", bytes.index);
  }

  // Runs the extractor, killing it should it hang (on a FIFO, say); status
  // is 1 for a run that leaves a file or piece it meant to write unwritten.
  ProgramResult extract(int status = 0) {
    const Tree before = outside();
    ProgramOptions options;
    options.whileRunning = [](testing::RunningProgram& program) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      while (!program.hasExited() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      program.kill();
    };
    ProgramResult r = runProgram(ORVEX_BINARY, {"../../disc.img", "../../disc.idx"}, work, options);
    EXPECT_EQ(outside(), before) << "the run changed something outside its working directory";
    EXPECT_EQ(r.status, status) << r.err;
    return r;
  }

  Tree outside() {
    Tree tree = snapshotTree(sandbox.path());
    std::erase_if(tree, [](const auto& e) { return e.first.rfind("up/work/", 0) == 0; });
    return tree;
  }

  Tree workTree() { return snapshotTree(work); }

  TempDir sandbox;
  std::string work = sandbox / "up/work";
};

bool warnsAbout(const ProgramResult& r, const std::string& name) {
  return r.err.find("orvex: warning: " + name + ": ") != std::string::npos;
}

TEST_F(HostileDiscTest, EventTableNamesThatClimbNameDirectoriesOrAreTooLong) {
  const std::string tooLong = std::string(252, 'n') + ".evt";  // one 256-byte component
  DiscBuilder disc;
  const std::vector<uint8_t> event = eventFile(2, {12, 16}, 20);
  for (const std::string& name :
       {std::string("a/../../x.evt"), std::string("up/..."), std::string("..evt"), tooLong,
        std::string("blocked.evt"), std::string("ok.evt")})
    disc.addStored(name, event);
  writeDisc(disc);
  std::filesystem::create_directory(work + "/evdir.evt");
  // Where there are no FIFOs, fifo.evt names a file that is not there.
  if (testing::kPosix) testing::makeFifo(work + "/fifo.evt");
  writeText(work + "/blocked", "a file where the piece directory goes");
  writeBytes(work + "/eventsTable",
             eventsTable({"a/../../x.evt", "..", "/", "up/...", "..evt", tooLong, "evdir.evt",
                          "fifo.evt", "blocked.evt", "ok.evt"}));

  const ProgramResult r = extract(1);
  for (const std::string& name :
       {std::string("a/../../x.evt"), std::string(".."), std::string("/"), std::string("up/..."),
        tooLong, std::string("evdir.evt"), std::string("fifo.evt"), std::string("blocked.evt")})
    if (testing::kPosix || name != "fifo.evt") {
      EXPECT_TRUE(warnsAbout(r, name)) << name << "\n" << r.err;
    }
  const std::string e = textOf(event);
  Tree expected = {
      {"eventsTable", textOf(eventsTable({"a/../../x.evt", "..", "/", "up/...", "..evt", tooLong,
                                          "evdir.evt", "fifo.evt", "blocked.evt", "ok.evt"}))},
      {"evdir.evt", "<dir>"},
      // "up/..." is a safe name, but its piece directory "up/.." is not.
      {"up", "<dir>"},
      // "..evt" cuts to ".": its pieces go to the working directory itself.
      {"..evt", e},
      {"000.mset", e.substr(12, 4)},
      {"001.mset", e.substr(16)},
      {"blocked", "a file where the piece directory goes"},
      {"blocked.evt", e},
      // The run goes on to the last record.
      {"ok.evt", e},
      {"ok", "<dir>"},
      {"ok/000.mset", e.substr(12, 4)},
      {"ok/001.mset", e.substr(16)}};
  if (testing::kPosix) expected["fifo.evt"] = "<other>";
  // Windows strips trailing dots from a name: "..." is written escaped there.
  expected[testing::kPosix ? "up/..." : "up/%2E%2E%2E"] = e;
  EXPECT_EQ(workTree(), expected);
}

TEST_F(HostileDiscTest, ListNamesWithOddShapes) {
  DiscBuilder disc;
  const std::string climb = "../../../../../../../../../../x";  // 31 bytes
  disc.addStored("menu.ard", encodeNameList({"dir/", ".", "./", "x/./y", "a//b", climb, "..",
                                             "c/d/../../../e", "last"}));
  for (const char* name : {"dir/", ".", "./", "x/./y", "a//b", "c/d/../../../e", "last"})
    disc.addStored(name, bytesOf(name));
  disc.addStored(climb, bytesOf("climb"));
  writeDisc(disc);

  const ProgramResult r = extract(1);
  for (const std::string& name : {std::string("dir/"), std::string("."), std::string("./"), climb,
                                  std::string(".."), std::string("c/d/../../../e")})
    EXPECT_TRUE(warnsAbout(r, name)) << name << "\n" << r.err;
  // "." and "./" are the working directory, a folder where a file belongs;
  // "dir/" cannot be a file, and nothing is made for it.
  const Tree expected = {
      {"x", "<dir>"}, {"x/y", "x/./y"}, {"a", "<dir>"}, {"a/b", "a//b"}, {"last", "last"}};
  EXPECT_EQ(workTree(), expected);
  EXPECT_EQ(r.out.find("Dumping .\n"), std::string::npos);
}

// Event files whose offsets point anywhere. Pieces whose offsets do not lie
// inside the file are skipped with a warning; the others are written.
struct OffsetCase {
  const char* name;  // the event file; its pieces go to the name without ".evt"
  int32_t count;
  std::vector<uint32_t> offsets;
  size_t length;
  bool split;                                           // false: damaged table, no directory
  std::map<int, std::pair<uint32_t, uint32_t>> pieces;  // the pieces written
};

void PrintTo(const OffsetCase& c, std::ostream* os) { *os << c.name; }

class EventOffsetsTest : public HostileDiscTest,
                         public ::testing::WithParamInterface<OffsetCase> {};

TEST_P(EventOffsetsTest, OnlyPiecesInsideTheFileAreWritten) {
  const OffsetCase& c = GetParam();
  const std::vector<uint8_t> event = eventFile(c.count, c.offsets, c.length);
  DiscBuilder disc;
  disc.addStored(c.name, event);
  writeDisc(disc);
  writeBytes(work + "/eventsTable", eventsTable({c.name}));

  const size_t pieceCount = c.count > 0 && c.split ? static_cast<size_t>(c.count) : 0;
  const bool lost = !c.split || c.pieces.size() < pieceCount;
  const ProgramResult r = extract(lost ? 1 : 0);
  Tree expected = {{"eventsTable", textOf(eventsTable({c.name}))}, {c.name, textOf(event)}};
  const std::string dir = std::string(c.name).substr(0, std::string(c.name).size() - 4);
  if (c.split) expected[dir] = "<dir>";
  for (const auto& [index, range] : c.pieces) {
    char piece[32];
    std::snprintf(piece, sizeof piece, "/%03d.mset", index);
    expected[dir + piece] = textOf(event).substr(range.first, range.second - range.first);
  }
  EXPECT_EQ(workTree(), expected);
  EXPECT_EQ(r.err.find(c.split ? "not split" : "piece offsets"), std::string::npos) << r.err;
  if (c.pieces.size() < pieceCount) {
    EXPECT_NE(r.err.find("piece skipped"), std::string::npos);
  }
  if (!c.split) {
    EXPECT_TRUE(warnsAbout(r, c.name)) << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, EventOffsetsTest,
    ::testing::Values(
        OffsetCase{"huge-start.evt", 2, {0xFFFFFFF0u, 12}, 16, true, {{1, {12, 16}}}},
        OffsetCase{"huge-end.evt", 2, {12, 0xFFFFFFFFu}, 20, true, {}},
        OffsetCase{"past-end.evt", 2, {12, 21}, 20, true, {}},
        OffsetCase{"descending.evt", 3, {30, 20, 10}, 40, true, {{2, {10, 40}}}},
        OffsetCase{"empty-pieces.evt",
                   3,
                   {20, 20, 20},
                   20,
                   true,
                   {{0, {20, 20}}, {1, {20, 20}}, {2, {20, 20}}}},
        OffsetCase{"from-zero.evt", 1, {0}, 12, true, {{0, {0, 12}}}},
        // Piece 2 repeats piece 0: it would take the pieces past the file.
        OffsetCase{
            "overlapping.evt", 4, {24, 60, 24, 60}, 64, true, {{0, {24, 60}}, {3, {60, 64}}}},
        OffsetCase{"count-max.evt", INT32_MAX, {12}, 64, false, {}},
        OffsetCase{"count-min.evt", INT32_MIN, {12}, 64, true, {}}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST_F(HostileDiscTest, EventsTableThatIsNoFile) {
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"eventsTable", "f"}));
  disc.addStored("eventsTable", eventsTable({"f"}));
  disc.addStored("f", bytesOf("f"));
  writeDisc(disc);
  for (const char* kind : {"directory", "fifo"}) {
    SCOPED_TRACE(kind);
    if (std::string(kind) == "fifo" && !testing::kPosix) continue;  // Windows has no FIFOs
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    if (std::string(kind) == "fifo")
      testing::makeFifo(work + "/eventsTable");
    else
      std::filesystem::create_directory(work + "/eventsTable");
    const ProgramResult r = extract();
    EXPECT_TRUE(warnsAbout(r, "eventsTable")) << r.err;
    EXPECT_EQ(workTree().at("f"), "f");
  }
}

}  // namespace
}  // namespace orvex
