// Every write of a small run fails in turn, through a double of the file
// system: extraction leaves no partial file, goes on with the next one and a
// later run completes the tree; pack and patch leave their outputs as they
// were. Short and interrupted transfers change nothing.
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
    std::unique_ptr<OutputDir> out;
    if (const Status opened = OutputDir::open(folder, true, &out, fs); !opened.isOk()) {
      if (warnings) *warnings += opened.message();
      return std::filesystem::exists(folder) ? snapshotTree(folder) : Tree{};
    }
    std::FILE* shown = std::tmpfile();
    {
      Console console(shown, shown, "orvex");
      extractAll(store, *out, console);
      console.finish();
    }
    if (warnings) {
      std::rewind(shown);
      char line[512];
      while (std::fgets(line, sizeof line, shown))
        if (std::string(line).find(": warning: ") != std::string::npos) *warnings += line;
    }
    std::fclose(shown);
    return snapshotTree(folder);
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

}  // namespace
}  // namespace orvex
