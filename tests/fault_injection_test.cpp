// Every write of a small run fails in turn, through a double of the file
// system: extraction leaves no partial file, goes on with the next one and a
// later run completes the tree; pack and patch leave their outputs as they
// were. Short and interrupted transfers change nothing. A double that reports
// Windows' name rules shows names mapped, case twins left out, and patch and
// pack reading the names back.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "console.h"
#include "disc_builder.h"
#include "disc_content.h"
#include "extract.h"
#include "faulty_fs.h"
#include "pack.h"
#include "patch.h"
#include "program.h"

namespace orvex {
namespace {

using testing::FaultyFs;
using testing::snapshotTree;
using testing::TempDir;
using Op = FaultyFs::Op;
using Tree = std::map<std::string, std::string>;

constexpr int kErrors[] = {ENOSPC, EFBIG, EIO};

// Extracts store into folder through fs; the warnings it shows go to
// *warnings, when given.
RunStats extractWith(const Store& store, const std::string& folder, io::Fs& fs,
                     std::string* warnings) {
  std::unique_ptr<OutputDir> out;
  if (const Status opened = OutputDir::open(folder, true, &out, fs); !opened.isOk()) {
    if (warnings) *warnings += opened.message();
    return {};
  }
  RunStats stats;
  std::FILE* shown = std::tmpfile();
  {
    Console console(shown, shown, "orvex");
    stats = extractAll(store, *out, console);
    console.finish();
  }
  if (warnings) {
    std::rewind(shown);
    char line[512];
    while (std::fgets(line, sizeof line, shown))
      if (std::string(line).find(": warning: ") != std::string::npos) *warnings += line;
  }
  std::fclose(shown);
  return stats;
}

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    DiscBuilder disc;
    disc.addStored("menu.ard", encodeNameList({"a/stored.bin", "a/b/packed.txt", "top.txt",
                                               "eventsTable", "ev/scene.evt", "empty"}));
    disc.addStored("a/stored.bin", testing::noise(70000, 1));
    disc.addCompressedStream("a/b/packed.txt", testing::compressed(testing::textLike(50000, 2)));
    disc.addStored("top.txt", testing::bytesOf("top\n"));
    disc.addStored("eventsTable", testing::eventsTable({"ev/scene.evt"}));
    disc.addStored("ev/scene.evt", testing::eventFile(3, {20, 400, 3000}, 5000));
    disc.addStored("empty", {});
    const DiscBytes bytes = buildDisc(disc);
    testing::writeBytes(dir / "disc.img", bytes.image);
    testing::writeBytes(dir / "disc.idx", bytes.index);
    Problems oddities;
    ASSERT_TRUE(
        openStore(dir / "disc.img", dir / "disc.idx", &store, &oddities, nullptr, io::realFs())
            .isOk());
    reference = extractInto(dir / "reference", io::realFs());
  }

  // Extracts the disc into folder through fs; returns the tree it leaves.
  Tree extractInto(const std::string& folder, io::Fs& fs, std::string* warnings = nullptr) {
    extractWith(store, folder, fs, warnings);
    return std::filesystem::exists(folder) ? snapshotTree(folder) : Tree{};
  }

  TempDir dir;
  Store store;
  Tree reference;
};

// The paths where two trees differ.
std::vector<std::string> differences(const Tree& tree, const Tree& reference) {
  std::vector<std::string> found = testing::strayEntries(tree, reference);
  for (const std::string& path : testing::missingEntries(tree, reference)) found.push_back(path);
  return found;
}

// With and without unnamed temporary files; into an empty folder, then again
// over the complete tree, where the pieces are replaced.
TEST_F(FaultInjection, ExtractionSurvivesAFailureAtEveryStepAndARerunCompletesIt) {
  for (const bool named : {false, true}) {
    for (Op op : {Op::kWrite, Op::kCreate, Op::kName, Op::kRead}) {
      for (uint64_t n = 1;; ++n) {
        const int error = kErrors[n % std::size(kErrors)];
        SCOPED_TRACE("call " + std::to_string(n) + " of kind " +
                     std::to_string(static_cast<int>(op)) + (named ? ", named" : ""));
        const std::string folder =
            dir / ("run-" + std::to_string(named) + "-" + std::to_string(static_cast<int>(op)) +
                   "-" + std::to_string(n));
        FaultyFs fs;
        fs.refuseUnnamedTemporaries(named);
        fs.failNth(op, n, error);
        std::string warnings;
        const Tree faulted = extractInto(folder, fs, &warnings);
        if (fs.fired() == 0) {
          EXPECT_EQ(differences(faulted, reference), std::vector<std::string>{});
          EXPECT_GT(n, 1u);  // every kind is met in a run
          break;
        }
        EXPECT_NE(warnings.find(std::strerror(error)), std::string::npos) << warnings;
        EXPECT_EQ(testing::strayEntries(faulted, reference), std::vector<std::string>{});
        EXPECT_EQ(differences(extractInto(folder, io::realFs()), reference),
                  std::vector<std::string>{});

        FaultyFs again;
        again.refuseUnnamedTemporaries(named);
        again.failNth(op, n, error);
        EXPECT_EQ(differences(extractInto(folder, again), reference), std::vector<std::string>{});
      }
    }
  }
}

TEST_F(FaultInjection, ShortAndInterruptedTransfersChangeNothing) {
  FaultyFs fs;
  fs.shortenWrites(7);
  fs.interrupt(true);
  std::string warnings;
  EXPECT_EQ(differences(extractInto(dir / "short", fs, &warnings), reference),
            std::vector<std::string>{});
  EXPECT_EQ(warnings, "");
}

TEST_F(FaultInjection, PackFailingAtAnyStepWritesNoOutput) {
  const std::string source = dir / "reference";
  for (Op op : {Op::kWrite, Op::kCreate, Op::kSync, Op::kRead}) {
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE("call " + std::to_string(n) + " of kind " +
                   std::to_string(static_cast<int>(op)));
      TempDir out;
      FaultyFs fs;
      fs.failNth(op, n, kErrors[n % std::size(kErrors)]);
      fs.shortenWrites(4096);
      fs.interrupt(true);
      Problems problems;
      const Status packed = packTree(fs, source, out / "d.img", out / "d.idx", {}, &problems);
      if (fs.fired() == 0) {
        EXPECT_TRUE(packed.isOk()) << packed.message();
        EXPECT_EQ(testing::entryCount(out.path()), 2u);
        break;
      }
      EXPECT_FALSE(packed.isOk());
      // A folder that cannot be flushed once both outputs are in place is
      // reported; the outputs are complete.
      const bool published = packed.message().find("cannot sync its folder") != std::string::npos;
      EXPECT_EQ(testing::entryCount(out.path()), published ? 2u : 0u) << packed.message();
    }
  }
}

// Planning reads the image and the changed files through the store's file
// system: a read that fails at any point is reported, or it changes nothing
// of the plan (a read the walk may go without).
TEST_F(FaultInjection, PatchPlanningFailingAnyReadSaysSoOrChangesNothing) {
  TempDir changes;
  std::filesystem::create_directories(changes / "a/b");
  testing::writeBytes(changes / "a/b/packed.txt", testing::textLike(60000, 9));
  testing::writeBytes(changes / "top.txt", testing::bytesOf("edited\n"));
  const auto plan = [&](io::Fs& fs, PatchPlan* made, std::string* said) {
    store.image.fs = &fs;
    Problems problems;
    const Status planned = planPatch(store, changes.path(), PatchOptions{}, made, &problems);
    store.image.fs = &io::realFs();
    *said = planned.message();
    for (const std::string& line : problems.lines()) *said += "\n" + line;
    return planned.isOk();
  };
  const auto stored = [](const PatchPlan& made) {
    std::map<std::string, std::vector<uint8_t>> bytes;
    for (const EntryChange& change : made.changes) bytes[change.name] = change.stored;
    return bytes;
  };
  PatchPlan reference;
  std::string said;
  ASSERT_TRUE(plan(io::realFs(), &reference, &said)) << said;
  ASSERT_EQ(reference.changes.size(), 2u);
  uint64_t reported = 0;
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE("read " + std::to_string(n));
    FaultyFs fs;
    fs.failNth(Op::kRead, n, EIO);
    PatchPlan made;
    const bool planned = plan(fs, &made, &said);
    if (fs.fired() == 0) {
      EXPECT_TRUE(planned) << said;
      break;
    }
    if (planned) {
      EXPECT_EQ(stored(made), stored(reference));
      continue;
    }
    ++reported;
    EXPECT_NE(said.find(std::strerror(EIO)), std::string::npos) << said;
  }
  EXPECT_GE(reported, 2u);  // each changed file's read, at least
}

TEST_F(FaultInjection, PatchInPlaceFailingAtAnyStepLeavesTheDiscAsItWas) {
  TempDir changes;
  std::filesystem::create_directories(changes / "a/b");
  testing::writeBytes(changes / "a/b/packed.txt", testing::textLike(60000, 9));
  testing::writeBytes(changes / "top.txt", testing::bytesOf("edited\n"));
  const std::vector<uint8_t> image = testing::readBytes(dir / "disc.img");
  const std::vector<uint8_t> index = testing::readBytes(dir / "disc.idx");
  PatchOptions options;
  options.inPlace = true;
  PatchPlan plan;
  Problems problems;
  ASSERT_TRUE(planPatch(store, changes.path(), options, &plan, &problems).isOk());
  ASSERT_EQ(plan.changes.size(), 2u);
  for (Op op : {Op::kWrite, Op::kCreate, Op::kName, Op::kSync}) {
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE("call " + std::to_string(n) + " of kind " +
                   std::to_string(static_cast<int>(op)));
      testing::writeBytes(dir / "disc.img", image);
      testing::writeBytes(dir / "disc.idx", index);
      FaultyFs fs;
      fs.failNth(op, n, kErrors[n % std::size(kErrors)]);
      const Status patched = patchInPlace(dir / "disc.img", dir / "disc.idx", plan, fs);
      if (fs.fired() == 0) {
        EXPECT_TRUE(patched.isOk()) << patched.message();
        EXPECT_NE(testing::readBytes(dir / "disc.idx"), index);
        break;
      }
      // A failed sync of the folder after the index is in place is reported,
      // but the patch has happened.
      if (patched.isOk() || testing::readBytes(dir / "disc.idx") != index) {
        EXPECT_EQ(op, Op::kSync) << patched.message();
        continue;
      }
      EXPECT_TRUE(testing::readBytes(dir / "disc.img") == image) << patched.message();
    }
  }
}

// Upper-cases ASCII letters and the Latin-1 letters of UTF-8.
std::string foldLatin1(std::string_view name) {
  std::string folded(name);
  for (size_t i = 0; i < folded.size(); ++i) {
    char& c = folded[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const auto next = i + 1 < folded.size() ? static_cast<uint8_t>(folded[i + 1]) : 0;
    if (c == '\xC3' && next >= 0xA0 && next <= 0xBE && next != 0xB7)
      folded[++i] = static_cast<char>(next - 0x20);
  }
  return folded;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

// A folder whose file system takes names as Windows does.
class WindowsNamesFs : public io::FsWrapper {
 public:
  WindowsNamesFs() : FsWrapper(io::realFs()) {}
  io::NameRules nameRules(const io::Folder&) override { return {true, foldLatin1}; }
};

TEST(WindowsNames, NamesAreWrittenAsTheFolderCanHoldThemAndPatchAndPackReadThemBack) {
  struct {
    const char* name;
    const char* written;  // nullptr: a case twin, not written
    const char* warning;  // what its warning says; nullptr: none
  } cases[] = {
      {"ok.txt", "ok.txt", nullptr},
      {"Data/Readme.txt", "Data/Readme.txt", nullptr},
      {"data/readme.txt", nullptr, "a case twin of Data/Readme.txt "},
      {"DATA/Readme.txt", nullptr, "a case twin of Data/Readme.txt "},
      {"nul.txt", "%6Eul.txt", "written as %6Eul.txt, "},
      {"a\\..\\..\\escape.txt", "a%5C..%5C..%5Cescape.txt",
       "written as a%5C..%5C..%5Cescape.txt, "},
      {"c:drive.txt", "c%3Adrive.txt", "written as c%3Adrive.txt, "},
      {"dot.", "dot%2E", "written as dot%2E, "},
      {"star*.txt", "star%2A.txt", "written as star%2A.txt, "},
      {"Caf\xC3\xA9.txt", "Caf\xC3\xA9.txt", nullptr},
      {"CAF\xC3\x89.TXT", nullptr, "a case twin of Caf\xC3\xA9.txt "},
      {"\xE9t\xE9.txt", "%E9t%E9.txt", "written as %E9t%E9.txt, "},
      {"ev:1.evt", "ev%3A1.evt", "written as ev%3A1.evt, "},
      {"ev:1/", nullptr, "written as ev%3A1/, "},  // the event file's piece folder
  };
  TempDir dir;
  DiscBuilder disc;
  std::vector<std::string> listed = {"eventsTable"};
  Tree expected;
  for (const auto& c : cases) {
    const std::string name = c.name;
    if (name.ends_with('/')) continue;
    listed.push_back(name);
    disc.addStored(name, name == "ev:1.evt" ? testing::eventFile(2, {20, 400}, 1000)
                                            : testing::bytesOf("bytes of " + name));
    if (c.written) expected[c.written] = "bytes of " + name;
  }
  disc.addStored("menu.ard", encodeNameList(listed));
  disc.addStored("eventsTable", testing::eventsTable({"ev:1.evt"}));
  expected["eventsTable"] = testing::textOf(disc.files.back().stored);
  const uint64_t files = expected.size();
  expected.erase("ev%3A1.evt");  // its bytes are not text
  expected.insert(
      {{"Data", "<dir>"}, {"ev%3A1", "<dir>"}, {"ev%3A1/000.mset", ""}, {"ev%3A1/001.mset", ""}});
  const DiscBytes bytes = buildDisc(disc);
  testing::writeBytes(dir / "disc.img", bytes.image);
  testing::writeBytes(dir / "disc.idx", bytes.index);
  Store store;
  Problems oddities;
  WindowsNamesFs fs;
  ASSERT_TRUE(openStore(dir / "disc.img", dir / "disc.idx", &store, &oddities, nullptr, fs).isOk());

  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    std::string warnings;
    const RunStats stats = extractWith(store, dir / "out", fs, &warnings);
    Tree tree = snapshotTree(dir / "out");
    EXPECT_EQ(tree.erase("ev%3A1.evt"), 1u);
    tree["ev%3A1/000.mset"].clear();
    tree["ev%3A1/001.mset"].clear();
    EXPECT_EQ(tree, expected);
    EXPECT_EQ(snapshotTree(dir.path(), "out"), (Tree{{"disc.img", testing::textOf(bytes.image)},
                                                     {"disc.idx", testing::textOf(bytes.index)},
                                                     {"out", "<dir>"}}));
    size_t warned = 0;
    for (const auto& c : cases) {
      if (!c.warning) continue;
      ++warned;
      const std::string line = std::string("orvex: warning: ") + c.name + ": " + c.warning;
      EXPECT_NE(warnings.find(line), std::string::npos) << line << "\n" << warnings;
    }
    EXPECT_EQ(std::count(warnings.begin(), warnings.end(), '\n'), warned) << warnings;
    EXPECT_EQ(stats.notWritten, 3u);
    EXPECT_TRUE(stats.lostSomething());
    EXPECT_EQ(stats.filesWritten, run == 1 ? files : 0);
    EXPECT_EQ(stats.filesPresent, run == 1 ? 0 : files + 2);  // the pieces, kept
  }

  // An edit under a mapped name goes back to its disc name; a file named as
  // no disc name is written, or as a case twin, is refused.
  testing::writeBytes(dir / "out/c%3Adrive.txt", testing::bytesOf("edited"));
  testing::writeBytes(dir / "out/%41.txt", testing::bytesOf("A"));
  // A folder that folds case itself (Windows) holds no twin beside its first spelling.
  const bool folderFoldsCase = std::filesystem::exists(dir / "out/data/readme.txt");
  if (!folderFoldsCase) testing::writeBytes(dir / "out/data/readme.txt", testing::bytesOf("twin"));
  PatchPlan plan;
  Problems problems;
  EXPECT_FALSE(planPatch(store, dir / "out", PatchOptions{}, &plan, &problems).isOk());
  const std::string refused = joined(problems.lines());
  EXPECT_NE(refused.find("%41.txt: no disc name is written as this file name"), std::string::npos)
      << refused;
  if (!folderFoldsCase) {
    EXPECT_NE(refused.find("data/readme.txt: a case twin of Data/Readme.txt "), std::string::npos)
        << refused;
  }
  EXPECT_EQ(problems.size(), folderFoldsCase ? 1u : 2u) << refused;
  Problems packProblems;
  EXPECT_FALSE(
      packTree(fs, dir / "out", dir / "packed.img", dir / "packed.idx", {}, &packProblems).isOk());
  EXPECT_NE(joined(packProblems.lines()).find("%41.txt: no disc name"), std::string::npos);

  std::filesystem::remove(dir / "out/%41.txt");
  std::filesystem::remove_all(dir / "out/data");
  problems = Problems{};
  ASSERT_TRUE(planPatch(store, dir / "out", PatchOptions{}, &plan, &problems).isOk())
      << joined(problems.lines());
  ASSERT_TRUE(writePatchedCopy(store, plan, dir / "new.img", dir / "new.idx").isOk());
  Store patched;
  ASSERT_TRUE(openStore(dir / "new.img", dir / "new.idx", &patched, &oddities, nullptr, fs).isOk());
  std::vector<uint8_t> content;
  ASSERT_TRUE(readFile(patched, "c:drive.txt", &content).isOk());
  EXPECT_EQ(content, testing::bytesOf("edited"));
  ASSERT_EQ(plan.changes.size(), 1u);
  EXPECT_EQ(plan.changes[0].name, "c:drive.txt");
}

}  // namespace
}  // namespace orvex
