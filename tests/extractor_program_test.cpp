// Whole-program tests: discs built with the packer library, extracted by the
// real orvex binary in a fresh working directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
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

const std::string kBanner = "Orvex v0.2 alpha 1 by Nalbo\n";
const std::string kPassHeader = "Loading name table\nStart of dump...\n";

std::string dumped(const std::vector<std::string>& names) {
  std::string out = kBanner + kPassHeader;
  for (const std::string& n : names) out += "Dumping " + n + "\n";
  return out;
}

// Each test gets a sandbox holding the disc files and the working directory;
// everything in the sandbox outside the working directory must stay as it
// was, whatever the disc says.
class ExtractorTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(work); }

  void writeDisc(const DiscBuilder& disc) {
    const DiscBytes bytes = buildDisc(disc);
    writeBytes(sandbox / "disc.img", bytes.image);
    writeBytes(sandbox / "disc.idx", bytes.index);
  }

  ProgramResult extract(const ProgramOptions& options = {}) {
    Tree before = snapshotTree(sandbox.path());
    std::erase_if(before, [](const auto& e) { return e.first.rfind("work", 0) == 0; });
    ProgramResult r = runProgram(ORVEX_BINARY, {"../disc.img", "../disc.idx"}, work, options);
    Tree after = snapshotTree(sandbox.path());
    std::erase_if(after, [](const auto& e) { return e.first.rfind("work", 0) == 0; });
    EXPECT_EQ(before, after) << "the run changed something outside its working directory";
    return r;
  }

  Tree workTree() { return snapshotTree(work); }

  TempDir sandbox;
  std::string work = sandbox / "work";
};

// The banner comes first whatever the arguments; help and the version go
// to standard output with status 0, too few arguments get the usage on
// standard error with status 2, and nothing is written.
TEST(ExtractorCommandLine, HelpVersionAndTooFewArguments) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // after the banner
    const char* err;  // what standard error starts with
  } cases[] = {
      {{}, 2, "", "usage: orvex IMAGE INDEX\n"},
      {{"disc.img"}, 2, "", "usage: orvex IMAGE INDEX\n"},
      {{"--help"}, 0, "usage: orvex IMAGE INDEX\n", ""},
      {{"--version"}, 0, std::string("orvex ") + ORVEX_VERSION + "\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ProgramResult r = runProgram(ORVEX_BINARY, c.args, dir.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out.substr(0, kBanner.size()), kBanner);
    EXPECT_EQ(r.out.substr(kBanner.size(), c.out.size()), c.out);
    if (c.status == 0 && c.args[0] == "--version") {
      EXPECT_EQ(r.out, kBanner + c.out);
    }
    EXPECT_TRUE(r.err.starts_with(c.err)) << r.err;
    if (*c.err == '\0') {
      EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(snapshotTree(dir.path()).empty());
  }
}

TEST(ExtractorCommandLine, OpenFailuresNameThePathWithoutLineBreak) {
  TempDir dir;
  writeText(dir / "present.img", "x");
  ProgramResult r = runProgram(ORVEX_BINARY, {"missing.img", "missing.idx"}, dir.path());
  EXPECT_EQ(r.out, kBanner + "Unable to open iso: \"missing.img\"");
  EXPECT_EQ(r.status, 1);
  r = runProgram(ORVEX_BINARY, {"present.img", "missing.idx"}, dir.path());
  EXPECT_EQ(r.out, kBanner + "Unable to open idx file: \"missing.idx\"");
  EXPECT_EQ(r.status, 1);
  // A directory is not an image.
  r = runProgram(ORVEX_BINARY, {".", "present.img"}, dir.path());
  EXPECT_EQ(r.out, kBanner + "Unable to open iso: \".\"");
  EXPECT_EQ(r.status, 1);
}

TEST_F(ExtractorTest, ExtractsListedFilesAndSkipsThemOnTheNextRun) {
  DiscBuilder disc;
  disc.addStored("menu.ard",
                 encodeNameList({"top.txt", "a/b/deep.bin", "a/mid.txt", "absent", "z.bin"}));
  disc.addStored("top.txt", bytesOf("top level\n"));
  disc.addStored("a/b/deep.bin", std::vector<uint8_t>(5000, 0xEE));
  disc.addStored("a/mid.txt", {});
  disc.addCompressedStream("z.bin", {0x03, 0x03, 0x80, 'a', 'b', 'c', 0x00, 0x00, 0x09, 0x80});
  writeDisc(disc);

  ProgramResult r = extract();
  EXPECT_EQ(r.out, dumped({"top.txt", "a/b/deep.bin", "a/mid.txt", "z.bin"}));
  EXPECT_EQ(r.err,
            "orvex: 4 files written (4.9 KiB), 0 already present, 0 warnings; "
            "0 of 5 index entries reached by no name\n");
  EXPECT_EQ(r.status, 0);
  const Tree expected = {{"top.txt", "top level\n"}, {"a", "<dir>"},
                         {"a/b", "<dir>"},           {"a/b/deep.bin", std::string(5000, '\xEE')},
                         {"a/mid.txt", ""},          {"z.bin", "abcabcabc"}};
  EXPECT_EQ(workTree(), expected);

  // Present files are neither read nor announced; a missing one is filled in.
  std::filesystem::remove(work + "/a/b/deep.bin");
  writeText(work + "/top.txt", "edited");
  r = extract();
  EXPECT_EQ(r.out, dumped({"a/b/deep.bin"}));
  EXPECT_EQ(r.err,
            "orvex: 1 file written (4.9 KiB), 3 already present, 0 warnings; "
            "0 of 5 index entries reached by no name\n");
  Tree edited = expected;
  edited["top.txt"] = "edited";
  EXPECT_EQ(workTree(), edited);
}

TEST_F(ExtractorTest, FreshRunCountsEachFileOnceAndPiecesToo) {
  DiscBuilder disc;
  // The event file is named by a list and twice by the event table the list
  // writes.
  disc.addStored("menu.ard", encodeNameList({"eventsTable", "ev/a.evt", "one.txt"}));
  disc.addStored("eventsTable", eventsTable({"ev/a.evt", "ev/a.evt"}));
  disc.addStored("ev/a.evt", eventFile(2, {16, 20}, 30));
  disc.addStored("one.txt", bytesOf("1"));
  writeDisc(disc);
  ProgramResult r = extract();
  EXPECT_EQ(r.err,
            "orvex: 3 files written (543 B), 2 pieces written, 0 already present, 0 warnings; "
            "0 of 4 index entries reached by no name\n");
  // Pieces whose bytes are there already are present too.
  r = extract();
  EXPECT_EQ(r.err,
            "orvex: 0 files written (0 B), 5 already present, 0 warnings; "
            "0 of 4 index entries reached by no name\n");
  // An edited piece is put back, and said so.
  writeBytes(work + "/ev/a/000.mset", bytesOf("edited"));
  r = extract();
  EXPECT_EQ(r.err,
            "orvex: warning: ev/a/000.mset: differs from its event file's cut, replaced\n"
            "orvex: 0 files written (0 B), 1 piece written, 4 already present, 1 warning; "
            "0 of 4 index entries reached by no name\n");
  EXPECT_EQ(snapshotTree(work).at("ev/a/000.mset"),
            textOf(eventFile(2, {16, 20}, 30)).substr(16, 4));
}

// Standard output and standard error into one log, as with ">log 2>&1":
// lines keep the order in which they happened, and each stays whole.
TEST_F(ExtractorTest, SharedLogKeepsTheOrderOfEvents) {
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"a", "bad", "b"}));
  disc.addStored("a", bytesOf("a"));
  disc.addCompressedStream("bad", {9, 9, 9, 9, 9, 9});
  disc.addStored("b", bytesOf("b"));
  DiscBytes bytes = buildDisc(disc);
  bytes.index.push_back(0);  // a warning before the first pass
  writeBytes(sandbox / "disc.img", bytes.image);
  writeBytes(sandbox / "disc.idx", bytes.index);
  testing::ProgramOptions mergeStreams;
  mergeStreams.errorIntoOutput = true;
  const ProgramResult r =
      runProgram(ORVEX_BINARY, {"../disc.img", "../disc.idx"}, work, mergeStreams);
  EXPECT_EQ(r.out,
            kBanner +
                "orvex: warning: ../disc.idx: the index is 65 bytes long, not a whole number of "
                "16-byte records; the last 1 byte is ignored\n" +
                kPassHeader + "Dumping a\n" +
                "orvex: warning: bad: decoded length exceeds what the stream can hold, not "
                "written\n"
                "Dumping b\n"
                "orvex: 2 files written (2 B), 0 already present, 2 warnings; 0 of 4 index "
                "entries reached by no name\n");
}

// Links left in the output folder: one leading out is never written
// through, even dangling or absolute; one that stays inside is followed
// where the kernel resolves names beneath the folder, and never with
// ORVEX_RESOLVE=walk.
TEST_F(ExtractorTest, LinksInTheFolderNeverLeadWritesOutside) {
  ORVEX_SKIP_WITHOUT_POSIX("symbolic links");
  std::filesystem::create_directories(sandbox / "outside");
  std::filesystem::create_directory_symlink("../outside", work + "/docs");
  std::filesystem::create_directory_symlink(sandbox / "outside", work + "/abs");
  std::filesystem::create_symlink("../outside/new.txt", work + "/dangling.txt");
  std::filesystem::create_directory_symlink("real", work + "/inside");
  DiscBuilder disc;
  disc.addStored("menu.ard",
                 encodeNameList({"docs/readme.txt", "abs/x.txt", "dangling.txt", "inside/y.txt"}));
  for (const char* name : {"docs/readme.txt", "abs/x.txt", "dangling.txt", "inside/y.txt"})
    disc.addStored(name, bytesOf(name));
  writeDisc(disc);
#ifdef ORVEX_LINUX
  const bool kernelResolves = true;
#else
  const bool kernelResolves = false;  // built without the kernel's resolution
#endif
  for (const bool walk : {false, true}) {
    SCOPED_TRACE(walk ? "ORVEX_RESOLVE=walk" : "default resolution");
    std::filesystem::remove_all(work + "/real");
    std::filesystem::create_directories(work + "/real");
    ProgramOptions options;
    if (walk) options.environment["ORVEX_RESOLVE"] = "walk";
    const ProgramResult r = extract(options);  // checks that nothing outside work changed
    EXPECT_TRUE(snapshotTree(sandbox / "outside").empty());
    for (const char* name : {"docs/readme.txt", "abs/x.txt"})
      EXPECT_NE(r.err.find(std::string("orvex: warning: ") + name + ": "), std::string::npos)
          << name << "\n"
          << r.err;
    if (kernelResolves && !walk) {
      EXPECT_EQ(snapshotTree(work + "/real"), (Tree{{"y.txt", "inside/y.txt"}}));
      EXPECT_NE(r.err.find("1 file written (12 B), 1 already present, 2 warnings"),
                std::string::npos)
          << r.err;
    } else {
      EXPECT_TRUE(snapshotTree(work + "/real").empty());
      EXPECT_NE(r.err.find("orvex: warning: inside/y.txt: passes through a link at inside"),
                std::string::npos)
          << r.err;
      EXPECT_NE(r.err.find("0 files written (0 B), 1 already present, 3 warnings"),
                std::string::npos)
          << r.err;
    }
  }
}

// A file of the user's that the user cannot read is still the user's: the
// run, as that ordinary user, counts it as present and leaves it alone.
TEST_F(ExtractorTest, UnreadableFileOfTheUserIsKept) {
  ORVEX_SKIP_WITHOUT_POSIX("file modes and another user");
#ifndef _WIN32
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"secret.txt", "new.txt"}));
  disc.addStored("secret.txt", bytesOf("from the disc"));
  disc.addStored("new.txt", bytesOf("new"));
  writeDisc(disc);
  const std::string orvex = testing::copyProgram(ORVEX_BINARY, sandbox.path());
  writeText(work + "/secret.txt", "mine");
  testing::shareWithEveryone(sandbox.path());
  std::filesystem::permissions(work + "/secret.txt", std::filesystem::perms::owner_write);
  if (geteuid() == 0) {
    ASSERT_EQ(chown((work + "/secret.txt").c_str(), 65534, 65534), 0);
  }
  testing::ProgramOptions asUser;
  asUser.asOrdinaryUser = true;
  const ProgramResult r = runProgram(orvex, {"../disc.img", "../disc.idx"}, work, asUser);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dumped({"new.txt"}));
  EXPECT_NE(r.err.find("1 file written (3 B), 1 already present"), std::string::npos) << r.err;
  struct stat written;
  ASSERT_EQ(stat((work + "/new.txt").c_str(), &written), 0);
  if (geteuid() == 0) {
    EXPECT_EQ(written.st_uid, 65534u);  // the run was not root's
  }
  std::filesystem::permissions(work + "/secret.txt", std::filesystem::perms::owner_read,
                               std::filesystem::perm_options::add);
  EXPECT_EQ(workTree(), (Tree{{"secret.txt", "mine"}, {"new.txt", "new"}}));
#endif
}

// Writes run on several threads while the walk decides in order: what a run
// shows and leaves must not depend on how many.
TEST_F(ExtractorTest, EightJobsGiveExactlyWhatOneJobGives) {
  DiscBuilder disc;
  std::vector<std::string> first, second;
  for (int i = 0; i < 240; ++i) {
    const std::string name =
        std::string("d").append(std::to_string(i % 3)).append("/f").append(std::to_string(i));
    const std::vector<uint8_t> content = testing::textLike(50 + 37 * static_cast<size_t>(i), i);
    if (i % 2) {
      std::vector<uint8_t> stream;
      ASSERT_TRUE(compress(content.data(), content.size(), &stream));
      disc.addCompressedStream(name, stream);
    } else {
      disc.addStored(name, content);
    }
    (i % 5 ? first : second).push_back(name);
    if (i % 7 == 0) second.push_back(name);  // named again later
  }
  // Names that block each other: a file where a later name needs a folder,
  // and the reverse; writes that fail, named twice.
  for (const char* name : {"x", "x/y", "z/w", "z", "bad.z", "blocked/f", "bad.z", "blocked/f"})
    first.push_back(name);
  // Other bytes under a name that reaches d1/f1 and d1/f4 through the link.
  for (const char* name : {"l/f1", "l/f4"}) {
    first.insert(first.begin(), name);
    disc.addStored(name, bytesOf(name));
  }
  for (const char* name : {"x", "x/y", "z/w", "z", "blocked/f"})
    disc.addStored(name, bytesOf(name));
  disc.addCompressedStream("bad.z", {1, 2, 3, 4, 5, 6, 7});
  disc.addStored("eventsTable", eventsTable({"ev/a.evt", "x/y", "ev/a.evt"}));
  disc.addStored("ev/a.evt", eventFile(3, {20, 24, 40}, 64));
  second.insert(second.end(), {"eventsTable", "ev/a.evt"});
  disc.addStored("menu.ard", encodeNameList(first));
  disc.addStored("al00.ard", encodeNameList(second));
  writeDisc(disc);

  std::map<std::string, ProgramResult> results;
  std::map<std::string, Tree> trees;
  for (const char* jobs : {"1", "8"}) {
    const std::string dir = sandbox / (std::string("jobs-") + jobs);
    std::filesystem::create_directory(dir);
    writeText(dir + "/blocked", "a file where a folder is wanted");
    // A link in the folder: l/f and d1/f are one file (where there are
    // links; elsewhere l is a folder of its own).
    std::filesystem::create_directory(dir + "/d1");
    if (testing::kPosix) std::filesystem::create_directory_symlink("d1", dir + "/l");
    testing::ProgramOptions options;
    options.environment["ORVEX_JOBS"] = jobs;
    results[jobs] = runProgram(ORVEX_BINARY, {"../disc.img", "../disc.idx"}, dir, options);
    trees[jobs] = snapshotTree(dir);
  }
  EXPECT_EQ(results["1"].status, 1);  // bad.z and the blocked names are not written
  EXPECT_NE(results["1"].err.find("bad.z"), std::string::npos) << results["1"].err;
  EXPECT_EQ(trees["1"].count("ev/a/002.mset"), 1u);
  EXPECT_EQ(results["8"].out, results["1"].out);
  EXPECT_EQ(results["8"].err, results["1"].err);
  EXPECT_EQ(results["8"].status, results["1"].status);
  EXPECT_EQ(trees["8"], trees["1"]);
}

struct NonsenseCase {
  const char* what;
  std::function<void(const std::string& image, const std::string& index)> make;
  std::vector<std::string> args;
  int status;
  const char* said;             // on standard error
  const char* needs = nullptr;  // what the case needs that only POSIX systems have
};

class NonsenseInput : public ExtractorTest, public ::testing::WithParamInterface<NonsenseCase> {};

TEST_P(NonsenseInput, GetsClearWords) {
  if (GetParam().needs) ORVEX_SKIP_WITHOUT_POSIX(GetParam().needs);
  GetParam().make(sandbox / "disc.img", sandbox / "disc.idx");
  testing::ProgramOptions options;
  // An empty pipe as standard input, for an image named /dev/stdin.
  options.input = "";
  // An index without end must not keep the run going: it is stopped after a
  // few seconds, which fails the case.
  options.whileRunning = [](testing::RunningProgram& program) {
    for (int i = 0; i < 500 && !program.hasExited(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    program.kill();
  };
  const ProgramResult r = runProgram(ORVEX_BINARY, GetParam().args, work, options);
  EXPECT_EQ(r.status, GetParam().status);
  EXPECT_NE(r.err.find(GetParam().said), std::string::npos) << r.err;
  EXPECT_EQ(r.out.rfind(kBanner, 0), 0u);
}

void smallDisc(const std::string& image, const std::string& index, bool marker, size_t indexBytes) {
  DiscBuilder disc;
  disc.bootMarker = marker;
  disc.addStored("menu.ard", encodeNameList({"a"}));
  disc.addStored("a", bytesOf("a"));
  DiscBytes bytes = buildDisc(disc);
  bytes.index.resize(indexBytes);
  writeBytes(image, bytes.image);
  writeBytes(index, bytes.index);
}

const std::vector<std::string> kDiscArgs = {"../disc.img", "../disc.idx"};

INSTANTIATE_TEST_SUITE_P(
    Cases, NonsenseInput,
    ::testing::Values(
        NonsenseCase{"NoMarker",
                     [](auto& image, auto& index) { smallDisc(image, index, false, 32); },
                     kDiscArgs, 0,
                     "../disc.img: no BOOT2 marker in sectors 0 to 299; the base sector is taken "
                     "as -1, so an entry's sector N is read from byte (N-1)*2048\n"},
        NonsenseCase{"IndexNotWholeRecords",
                     [](auto& image, auto& index) { smallDisc(image, index, true, 37); }, kDiscArgs,
                     0,
                     "../disc.idx: the index is 37 bytes long, not a whole number of 16-byte "
                     "records; the last 5 bytes are ignored"},
        NonsenseCase{"EmptyIndex",
                     [](auto& image, auto& index) { smallDisc(image, index, true, 0); }, kDiscArgs,
                     1, "../disc.idx: the index is empty"},
        NonsenseCase{"Swapped",
                     [](auto& image, auto& index) { smallDisc(image, index, true, 32); },
                     {"../disc.idx", "../disc.img"},
                     1,
                     " records but the image has only 1 sector (are the image and the index "
                     "swapped?)"},
        NonsenseCase{"IndexWithoutEnd",
                     [](auto& image, auto& index) { smallDisc(image, index, true, 32); },
                     {"../disc.img", "/dev/zero"},
                     1,
                     "orvex: warning: /dev/zero: the index has more than 65536 records but the "
                     "image has only ",
                     "/dev/zero"},
        NonsenseCase{"ImageIsAPipe",
                     [](auto& image, auto& index) { smallDisc(image, index, true, 32); },
                     {"/dev/stdin", "../disc.idx"},
                     1,
                     "orvex: /dev/stdin: cannot be read at offsets",
                     "/dev/stdin"},
        NonsenseCase{"ImageMissing",
                     [](auto& image, auto& index) { smallDisc(image, index, true, 32); },
                     {"../none.img", "../disc.idx"},
                     1,
                     "orvex: ../none.img: No such file or directory\n"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(ExtractorTest, ExtraArgumentsAreIgnored) {
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"f"}));
  disc.addStored("f", bytesOf("F"));
  writeDisc(disc);
  testing::ProgramOptions options;
  options.environment["ORVEX_JOBS"] = "lots";
  const ProgramResult r =
      runProgram(ORVEX_BINARY, {"../disc.img", "../disc.idx", "extra", "more"}, work, options);
  EXPECT_EQ(r.out, dumped({"f"}));
  EXPECT_EQ(r.status, 0);
  // Said on standard error, as is a number of jobs that is none.
  EXPECT_NE(r.err.find("orvex: warning: arguments after the index are ignored: extra more\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("orvex: warning: ORVEX_JOBS=lots is not a number from 1 to 256; using "),
            std::string::npos)
      << r.err;
}

TEST_F(ExtractorTest, WithoutMarkerSectorsCountFromMinusOne) {
  DiscBuilder disc;
  disc.bootMarker = false;
  disc.baseSector = 0;
  // Laid out at sector 1 counted from base 0, so at byte 2048; with no marker
  // the index must say sector 2 for the same bytes.
  disc.addStored("menu.ard", encodeNameList({"f"})).sector = 2;
  disc.addStored("f", bytesOf("found")).sector = 3;
  writeDisc(disc);
  const ProgramResult r = extract();
  EXPECT_EQ(r.out, dumped({"f"}));
  EXPECT_EQ(workTree(), (Tree{{"f", "found"}}));
}

TEST_F(ExtractorTest, NumberedListsRunInOrderAndShareHashesAsStored) {
  DiscBuilder disc;
  // po37.ard comes first in the index, so pi02.ard's lookup finds it and
  // pi02's own list is never read. po07.ard is read under the name pi32.ard.
  disc.addStored("po37.ard", encodeNameList({"from-po37"}));
  disc.addStored("pi02.ard", encodeNameList({"from-pi02"}));
  disc.addStored("po07.ard", encodeNameList({"from-po07", "po07.ard"}));
  disc.addStored("zz99.ard", encodeNameList({"from-zz99"}));
  disc.addStored("al00.ard", encodeNameList({"from-al00"}));
  disc.addStored("po32.ard", encodeNameList({"from-po32"}));
  disc.addStored("pi07.ard", encodeNameList({"from-pi07"}));
  for (const char* n :
       {"from-po37", "from-pi02", "from-po07", "from-zz99", "from-al00", "from-po32", "from-pi07"})
    disc.addStored(n, bytesOf(n));
  writeDisc(disc);
  const ProgramResult r = extract();
  // pi07.ard resolves to the po32.ard entry, stored first.
  EXPECT_EQ(r.out,
            dumped({"from-al00", "from-po37", "from-po32", "from-po07", "po07.ard", "from-zz99"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(workTree().count("from-pi02"), 0u);
  EXPECT_EQ(workTree().count("from-pi07"), 0u);
}

TEST_F(ExtractorTest, HostileNamesNeverLeaveTheWorkingDirectory) {
  DiscBuilder disc;
  const std::vector<std::string> hostile = {"/tmp/orvex-abs", "../escape", "a/../../x", "..",
                                            "b/.."};
  std::vector<std::string> listed = hostile;
  listed.insert(listed.begin() + 2, "");
  listed.push_back("ok");
  disc.addStored("menu.ard", encodeNameList(listed));
  for (const std::string& n : hostile) disc.addStored(n, bytesOf("bad"));
  disc.addStored("", bytesOf("empty-name"));
  disc.addStored("ok", bytesOf("fine"));
  writeDisc(disc);
  writeBytes(work + "/eventsTable", eventsTable({"../up.evt", "/abs.evt"}));
  const ProgramResult r = extract();
  EXPECT_EQ(r.out, dumped({"ok"}));
  EXPECT_EQ(r.status, 1);
  for (const std::string& n : hostile) EXPECT_NE(r.err.find(n), std::string::npos) << n;
  EXPECT_NE(r.err.find("../up.evt"), std::string::npos);
  const Tree tree = workTree();
  EXPECT_EQ(tree.size(), 2u);
  EXPECT_EQ(tree.at("ok"), "fine");
  EXPECT_FALSE(std::filesystem::exists("/tmp/orvex-abs"));
}

TEST_F(ExtractorTest, DamagedEntriesAreNeitherWrittenNorAnnounced) {
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"bad.z", "good", "past.end"}));
  disc.addCompressedStream("bad.z", {'a', 'b', 0x00, 0x00, 0x09, 0x80});  // output not filled
  disc.addStored("good", bytesOf("good"));
  disc.addCompressedStream("al00.ard", {0x80, 'a', 0x00, 0x00, 0x03, 0x80});  // marker at byte 0
  disc.addStored("unlisted", bytesOf("u"));
  disc.addStored("past.end", bytesOf("xx")).size = 5000;  // the image ends within 2048 bytes
  writeDisc(disc);
  const ProgramResult r = extract();
  EXPECT_EQ(r.out, dumped({"good"}));
  EXPECT_EQ(r.status, 1);
  for (const char* name : {"bad.z", "past.end", "al00.ard"})
    EXPECT_NE(r.err.find(name), std::string::npos) << name;
  EXPECT_EQ(workTree(), (Tree{{"good", "good"}}));
  // Damaged entries were reached by a name; the unlisted one was not.
  EXPECT_NE(r.err.find("orvex: 1 file written (4 B), 0 already present, 3 warnings; 1 of 6 "
                       "index entries reached by no name (see them with: orvex-tool list"),
            std::string::npos)
      << r.err;
}

TEST_F(ExtractorTest, DirectoriesAndUnwritablePathsAreHandled) {
  DiscBuilder disc;
  // x/y is a folder the run made by then; deep is named twice.
  disc.addStored("menu.ard", encodeNameList({"isdir", "plain/under", "x/y/z/deep", "x/y",
                                             "x/y/z/deep", "after"}));
  disc.addStored("isdir", bytesOf("never"));
  disc.addStored("plain/under", bytesOf("blocked"));
  disc.addStored("x/y/z/deep", bytesOf("deep"));
  disc.addStored("x/y", bytesOf("in the way"));
  disc.addStored("after", bytesOf("after"));
  writeDisc(disc);
  std::filesystem::create_directory(work + "/isdir");
  writeText(work + "/plain", "a file where a directory is wanted");
  const ProgramResult r = extract();
  // The blocked file is announced, warned about, and the run goes on.
  EXPECT_EQ(r.out, dumped({"plain/under", "x/y/z/deep", "after"}));
  EXPECT_NE(r.err.find("plain/under"), std::string::npos);
  EXPECT_NE(r.err.find("x/y: a folder stands where this file belongs"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 1);
  const Tree tree = workTree();
  EXPECT_EQ(tree.at("isdir"), "<dir>");
  EXPECT_EQ(tree.at("x/y/z/deep"), "deep");
  EXPECT_EQ(tree.at("after"), "after");
  EXPECT_EQ(tree.count("plain/under"), 0u);
}

TEST_F(ExtractorTest, EventFilesAreCutIntoPiecesOnEveryRun) {
  DiscBuilder disc;
  disc.addStored("ev/abc.evt", eventFile(3, {20, 30, 45}, 60));
  disc.addStored("ev/neg.x.evt", eventFile(-4, {}, 12));
  disc.addStored("short.evt", bytesOf("abc"));
  disc.addStored("odd.evt", eventFile(3, {20, 70, 16}, 40));
  disc.addStored("nodot", eventFile(1, {8}, 16));
  writeDisc(disc);
  writeBytes(work + "/eventsTable", eventsTable({"ev/abc.evt", "ev/neg.x.evt", "", "short.evt",
                                                 "odd.evt", "nodot", "missing.evt"}));
  ProgramResult r = extract();
  EXPECT_EQ(r.out, dumped({"ev/abc.evt", "ev/neg.x.evt", "short.evt", "odd.evt", "nodot"}));
  EXPECT_EQ(r.status, 1);
  Tree tree = workTree();
  const std::string abc = textOf(eventFile(3, {20, 30, 45}, 60));
  EXPECT_EQ(tree.at("ev/abc/000.mset"), abc.substr(20, 10));
  EXPECT_EQ(tree.at("ev/abc/001.mset"), abc.substr(30, 15));
  EXPECT_EQ(tree.at("ev/abc/002.mset"), abc.substr(45, 15));
  EXPECT_EQ(tree.at("ev/neg.x"), "<dir>");  // N < 0: directory, no pieces
  EXPECT_EQ(tree.count("short"), 0u);       // damaged: no directory
  // Piece 0 runs backwards past piece 1's start; piece 1 ends beyond the file.
  const std::string odd = textOf(eventFile(3, {20, 70, 16}, 40));
  EXPECT_EQ(tree.count("odd/000.mset"), 0u);
  EXPECT_EQ(tree.count("odd/001.mset"), 0u);
  EXPECT_EQ(tree.at("odd/002.mset"), odd.substr(16));
  EXPECT_EQ(tree.count("nodot/000.mset"), 0u);
  EXPECT_NE(r.err.find("short.evt"), std::string::npos);
  EXPECT_NE(r.err.find("nodot"), std::string::npos);
  EXPECT_NE(r.err.find("odd/000.mset"), std::string::npos);

  writeText(work + "/ev/abc/001.mset", "changed");
  r = extract();
  EXPECT_EQ(r.out, dumped({}));
  EXPECT_EQ(workTree().at("ev/abc/001.mset"), abc.substr(30, 15));
}

TEST_F(ExtractorTest, UnterminatedRecordGivesLongNameAndPiecePath) {
  // The final eventsTable record fills its 256 bytes with no NUL; its piece
  // path is longer than 256 bytes.
  const std::string directory = "u/" + std::string(250, 'g');
  const std::string name = directory + ".evt";
  ASSERT_EQ(name.size(), 256u);
  DiscBuilder disc;
  disc.addStored(name, eventFile(2, {16, 18}, 20));
  writeDisc(disc);
  writeBytes(work + "/eventsTable", eventsTable({"", name}));
  const ProgramResult r = extract();
  EXPECT_EQ(r.out, dumped({name}));
  EXPECT_EQ(r.err.find("warning:"), std::string::npos) << r.err;
  const Tree tree = workTree();
  EXPECT_EQ(tree.at(name).size(), 20u);
  EXPECT_EQ(tree.at(directory + "/000.mset"), "QR");
  EXPECT_EQ(tree.at(directory + "/001.mset"), "ST");
}

}  // namespace
}  // namespace orvex
