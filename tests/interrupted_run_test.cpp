// Whole-program runs that stop short: killed at some moment, or refused
// large writes by a file size limit. The tree must then hold only complete
// files, and a later full run must complete it to exactly what a run that
// was never stopped gives.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "big_disc.h"
#include "program.h"

namespace orvex {
namespace {

using testing::BigDisc;
using testing::bigDisc;
using testing::missingEntries;
using testing::ProgramOptions;
using testing::ProgramResult;
using testing::runProgram;
using testing::snapshotTree;
using testing::strayEntries;
using testing::TempDir;
using testing::textOf;
using Tree = std::map<std::string, std::string>;

constexpr size_t kMiB = size_t{1} << 20;

TEST(BigDiscReference, HoldsEveryFileAndPiece) {
  const BigDisc& disc = bigDisc();
  for (const auto& [name, content] : disc.files)
    EXPECT_TRUE(disc.reference.at(name) == textOf(content)) << name;
  const std::string scene = textOf(disc.files.at("ev/scene.evt"));
  EXPECT_TRUE(disc.reference.at("ev/scene/000.mset") == scene.substr(64, kMiB - 64));
  EXPECT_TRUE(disc.reference.at("ev/scene/003.mset") == scene.substr(2 * kMiB + 7));
  EXPECT_EQ(disc.reference.at("ev/small/001.mset"),
            textOf(disc.files.at("ev/small.evt")).substr(20));
}

// The trees hold tens of MiB: on a mismatch, name the paths only.
void expectReference(const Tree& tree, const Tree& reference) {
  EXPECT_EQ(strayEntries(tree, reference), std::vector<std::string>{});
  EXPECT_EQ(missingEntries(tree, reference), std::vector<std::string>{});
}

// A moment in the run, told by what it has written so far: a path that has
// appeared under the output folder, or kBanner once the banner line is out.
constexpr const char* kBanner = "<banner>";

bool reached(const std::string& moment, const std::string& work, const std::string& out) {
  if (moment != kBanner) return std::filesystem::exists(work + "/" + moment);
  std::ifstream in(out, std::ios::binary);
  const std::string printed{std::istreambuf_iterator<char>(in), {}};
  return printed.rfind("Orvex ", 0) == 0 && printed.find('\n') != std::string::npos;
}

// Kills the child once the moment is reached. Returns false, killing
// nothing, when the child finished first.
bool killAt(const std::string& moment, testing::RunningProgram& program, const std::string& work,
            const std::string& out) {
  while (!reached(moment, work, out)) {
    if (program.hasExited()) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  program.kill();
  return true;
}

struct KillPoint {
  const char* what;
  // The moment to kill at, then earlier ones: a run that finishes before
  // the kill lands is repeated with the next, never counted.
  std::vector<std::string> moments;
};

void PrintTo(const KillPoint& point, std::ostream* os) { *os << point.what; }

class InterruptedRun : public ::testing::TestWithParam<KillPoint> {};

TEST_P(InterruptedRun, LeavesOnlyCompleteFilesAndALaterRunCompletesTheTree) {
  const BigDisc& disc = bigDisc();
  std::vector<std::string> finishedFirst;
  for (const std::string& moment : GetParam().moments) {
    TempDir scratch;
    const std::string work = scratch / "work", out = scratch / "out";
    ProgramOptions options;
    options.liveOutFile = out;
    options.whileRunning = [&](testing::RunningProgram& program) {
      killAt(moment, program, work, out);
    };
    const ProgramResult killed = disc.extract(work, options);
    if (!killed.killed && killed.status == 0) {
      finishedFirst.push_back(moment);
      continue;
    }
    ASSERT_TRUE(killed.killed) << "status " << killed.status << ": " << killed.err;
    RecordProperty("killed_at", moment);
    RecordProperty("finished_first", static_cast<int>(finishedFirst.size()));

    // The process is dead and reaped: the tree is as the kill left it. A kill
    // that landed after the last file (while the summary was printed) proves
    // nothing: it counts as finishing first.
    const Tree partial = snapshotTree(work);
    if (missingEntries(partial, disc.reference).empty()) {
      finishedFirst.push_back(moment + " (complete when killed)");
      continue;
    }
    std::vector<std::string> strays = strayEntries(partial, disc.reference);
#ifndef ORVEX_LINUX
    // Without unnamed temporary files, the file being written when the kill
    // landed stays under its temporary name, for the later run to remove.
    std::erase_if(strays, [](const std::string& path) {
      return std::filesystem::path(path).filename().string().rfind(".orvex-tmp-", 0) == 0;
    });
#endif
    EXPECT_EQ(strays, std::vector<std::string>{})
        << "partial or temporary files after the kill at " << moment;

    const ProgramResult again = disc.extract(work);
    EXPECT_EQ(again.status, 0) << again.err;
    expectReference(snapshotTree(work), disc.reference);
    return;
  }
  FAIL() << "the run finished before every kill point: " << ::testing::PrintToString(finishedFirst);
}

// The extractor writes, in this order: the files of menu.ard (big/ first),
// then many/ from al00.ard, the event files from dc00.ard, then the event
// pieces. Each point falls back on moments that come earlier.
INSTANTIATE_TEST_SUITE_P(
    KillPoints, InterruptedRun,
    ::testing::Values(
        KillPoint{"before it starts", {kBanner}},
        KillPoint{"while the first large file is written", {"big", kBanner}},
        KillPoint{"once the first large file is in place", {"big/stored-1.bin", "big", kBanner}},
        KillPoint{"while a compressed file is decoded",
                  {"small.txt", "big/stored-1.bin", "big", kBanner}},
        KillPoint{"once its directory exists", {"c/d/e", "big/packed-1.bin", "big", kBanner}},
        KillPoint{"among the small files",
                  {"many/20.txt", "many/5.txt", "eventsTable", "big", kBanner}},
        KillPoint{"while an event file is split",
                  {"ev/scene", "ev/small.evt", "many/20.txt", "big", kBanner}},
        KillPoint{"among the event pieces",
                  {"ev/scene/001.mset", "ev/scene/000.mset", "many/20.txt", "big", kBanner}}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(FileSizeLimit, LargeFilesFailWithAWarningAndALaterRunFillsThem) {
  ORVEX_SKIP_WITHOUT_POSIX("file size limits");
  const BigDisc& disc = bigDisc();
  TempDir scratch;
  const std::string work = scratch / "work";
  ProgramOptions options;
  // The limit's signal as a shell leaves it: it would end the run unless the
  // program ignores it.
  options.fileSizeLimit = kMiB;
  const ProgramResult limited = disc.extract(work, options);
  EXPECT_EQ(limited.status, 1);  // the large files were not written
  for (const std::string& name : disc.large)
    EXPECT_NE(limited.err.find("orvex: warning: " + name + ": "), std::string::npos) << name;

  const Tree partial = snapshotTree(work);
  EXPECT_EQ(strayEntries(partial, disc.reference), std::vector<std::string>{})
      << "partial or temporary files after the refused writes";
  for (const std::string& name : disc.large) EXPECT_EQ(partial.count(name), 0u) << name;
  for (const auto& [name, content] : disc.files)
    if (content.size() <= kMiB) {
      EXPECT_EQ(partial.count(name), 1u) << name;
    }
  EXPECT_EQ(partial.count("ev/small/001.mset"), 1u);

  const ProgramResult again = disc.extract(work);
  EXPECT_EQ(again.status, 0);
  expectReference(snapshotTree(work), disc.reference);
}

}  // namespace
}  // namespace orvex
