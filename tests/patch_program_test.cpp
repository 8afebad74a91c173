// Whole-program tests of `orvex-tool patch`: discs built with the packer
// library, patched by the real tool and read back by the real extractor.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "disc_builder.h"
#include "disc_content.h"
#include "pack.h"
#include "program.h"
#include "raw_image.h"

namespace orvex {
namespace {

using testing::bytesOf;
using testing::compressed;
using testing::eventFile;
using testing::noise;
using testing::ProgramResult;
using testing::readBytes;
using testing::runProgram;
using testing::snapshotTree;
using testing::TempDir;
using testing::textLike;
using testing::textOf;
using testing::writeBytes;
using Tree = std::map<std::string, std::string>;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

void writeChange(const std::string& dir, const std::string& name, const Bytes& bytes) {
  fs::create_directories(fs::path(dir + "/" + name).parent_path());
  writeBytes(dir + "/" + name, bytes);
}

// Extracts a disc with the real extractor into a fresh folder holding the
// event table, and returns what came out.
Tree extract(const std::string& image, const std::string& index, const Bytes& table) {
  TempDir out;
  writeBytes(out / "eventsTable", table);
  const ProgramResult r = runProgram(ORVEX_BINARY, {image, index}, out.path());
  EXPECT_EQ(r.status, 0) << r.err;
  return snapshotTree(out.path());
}

ProgramResult patch(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> all = {"patch"};
  all.insert(all.end(), args.begin(), args.end());
  return runProgram(ORVEX_TOOL_BINARY, all, cwd);
}

// Every record keeps its place and hash, and only the changed ones differ;
// every byte of the old image outside the changed entries' sectors is the same.
void expectOnlyChangesTouched(const Bytes& oldImage, const Bytes& oldIndex, const Bytes& newImage,
                              const Bytes& newIndex, const std::set<size_t>& changed,
                              uint32_t baseSector) {
  ASSERT_EQ(oldIndex.size(), newIndex.size());
  ASSERT_GE(newImage.size(), oldImage.size());
  std::vector<std::pair<uint64_t, uint64_t>> owned;
  for (size_t i = 0; i * INDEX_ENTRY_SIZE < oldIndex.size(); ++i) {
    const IndexEntry before = decodeIndexEntry(&oldIndex[i * INDEX_ENTRY_SIZE]);
    const IndexEntry after = decodeIndexEntry(&newIndex[i * INDEX_ENTRY_SIZE]);
    EXPECT_EQ(before.hash, after.hash) << "record " << i;
    if (!changed.count(i)) {
      EXPECT_EQ(std::tie(before.flags, before.sector, before.size),
                std::tie(after.flags, after.sector, after.size))
          << "record " << i;
      continue;
    }
    const uint64_t start = sectorOffset(before.sector, baseSector);
    owned.emplace_back(start, (start + before.size + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE);
  }
  for (size_t at = 0; at < oldImage.size(); ++at) {
    if (oldImage[at] == newImage[at]) continue;
    const bool inOwned = std::any_of(owned.begin(), owned.end(),
                                     [&](const auto& r) { return at >= r.first && at < r.second; });
    ASSERT_TRUE(inOwned) << "byte " << at << " changed outside every changed entry";
  }
}

// A disc with an entry of every kind, extracted, edited and patched.
class PatchProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    disc.addStored("menu.ard", encodeNameList({"text.txt", "same.bin", "grow.bin", "shrink.txt",
                                               "equal.bin", "dup.txt"}));
    disc.addCompressedStream("text.txt", compressed(textLike(8000, 1)));     // 1
    disc.addStored("same.bin", noise(3000, 2));                              // 2
    disc.addStored("grow.bin", noise(1000, 3));                              // 3
    disc.addCompressedStream("shrink.txt", compressed(textLike(20000, 4)));  // 4
    disc.addStored("equal.bin", noise(4096, 5));                             // 5
    disc.addStored("dup.txt", bytesOf("first"));                             // 6
    disc.addStored("dup.txt", bytesOf("shadowed"));                          // 7
    disc.addStored("unnamed", bytesOf("reached by no name"));                // 8
    disc.addCompressedStream("ev/a.evt", compressed(event));                 // 9
    const DiscBytes bytes = buildDisc(disc);
    writeBytes(sandbox / "disc.img", bytes.image);
    writeBytes(sandbox / "disc.idx", bytes.index);
    writeBytes(sandbox / "table", table);
  }

  DiscBuilder disc;
  // Three pieces behind a 4-byte gap after the offset table.
  const Bytes event = eventFile(3, {24, 34, 49}, 64);
  const Bytes table = testing::eventsTable({"ev/a.evt"});
  TempDir sandbox;
};

TEST_F(PatchProgram, PatchedDiscExtractsToTheEditedTree) {
  const std::string changes = sandbox / "changes";
  fs::create_directory(changes);
  Tree expected = extract(sandbox / "disc.img", sandbox / "disc.idx", table);
  ASSERT_EQ(expected.at("ev/a/001.mset"), textOf(Bytes(event.begin() + 34, event.begin() + 49)));
  // A whole extracted tree: the unedited files in it change nothing.
  for (const auto& [name, content] : expected)
    if (content != "<dir>") writeChange(changes, name, bytesOf(content));

  const std::map<std::string, Bytes> edits = {
      {"text.txt", textLike(8400, 11)},   // larger, compressible, still fits its sectors
      {"grow.bin", noise(7000, 12)},      // larger than its sectors: appended
      {"shrink.txt", textLike(100, 13)},  // smaller
      {"equal.bin", noise(4096, 14)},     // same size, other bytes
      {"dup.txt", bytesOf("first, edited")}};
  for (const auto& [name, bytes] : edits) {
    writeChange(changes, name, bytes);
    expected[name] = textOf(bytes);
  }
  const std::string piece = "edited piece, longer than before";
  writeChange(changes, "ev/a/001.mset", bytesOf(piece));
  expected["ev/a/001.mset"] = piece;
  // The event file as rebuilt: header with new offsets, the gap, the pieces.
  Bytes rebuilt = encodeEventHeader(0x44434241, 3, {24, 24 + 10, 24 + 10 + uint32_t(piece.size())});
  rebuilt.insert(rebuilt.end(), event.begin() + 20, event.begin() + 34);
  rebuilt.insert(rebuilt.end(), piece.begin(), piece.end());
  rebuilt.insert(rebuilt.end(), event.begin() + 49, event.end());
  expected["ev/a.evt"] = textOf(rebuilt);

  const ProgramResult dry = patch({"disc.img", "disc.idx", "changes", "-o", "new.img", "new.idx",
                                   "--events", "table", "--dry-run"},
                                  sandbox.path());
  ASSERT_EQ(dry.status, 0) << dry.err;
  EXPECT_FALSE(fs::exists(sandbox / "new.img"));
  EXPECT_NE(dry.out.find("grow.bin: entry 3, 1000 B -> 6.8 KiB stored, appended at sector"),
            std::string::npos)
      << dry.out;
  EXPECT_NE(dry.out.find("ev/a.evt (piece 001): entry 9,"), std::string::npos) << dry.out;
  const ProgramResult json = patch({"disc.img", "disc.idx", "changes", "-o", "new.img", "new.idx",
                                    "--events", "table", "-n", "--json"},
                                   sandbox.path());
  EXPECT_NE(json.out.find("{\"name\": \"grow.bin\", \"pieces\": [], \"position\": 3, \"before\": "
                          "{\"sector\": "),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"placed\": \"appended\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"summary\": {\"changed\": 6, \"rewritten_in_own_sectors\": 5, "
                          "\"appended_bytes\": 8192}"),
            std::string::npos)
      << json.out;

  const ProgramResult r =
      patch({"disc.img", "disc.idx", "changes", "-o", "new.img", "new.idx", "--events", "table"},
            sandbox.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dry.out);
  // The tree's event file is the old disc's now, and said so.
  EXPECT_EQ(r.err,
            "orvex-tool: patch: changed 6 entries: 5 rewritten in their own sectors, 8.0 KiB "
            "appended\n"
            "orvex-tool: patch: changes/ev/a.evt: left as the old disc's; the new disc holds it "
            "rebuilt from its piece 001\n"
            "orvex-tool: patch: to edit on in changes, take the new one: rm changes/ev/a.evt && "
            "orvex-tool extract -C changes --events table new.img new.idx ev/a.evt\n");
  EXPECT_EQ(extract(sandbox / "new.img", sandbox / "new.idx", table), expected);
  // text.txt kept its compressed form; the shadowed and unnamed entries kept theirs.
  const Bytes newIndex = readBytes(sandbox / "new.idx");
  EXPECT_EQ(decodeIndexEntry(&newIndex[1 * INDEX_ENTRY_SIZE]).flags, FLAG_COMPRESSED);
  expectOnlyChangesTouched(readBytes(sandbox / "disc.img"), readBytes(sandbox / "disc.idx"),
                           readBytes(sandbox / "new.img"), newIndex, {1, 3, 4, 5, 6, 9},
                           disc.baseSector);
}

TEST_F(PatchProgram, RefusalsReportEveryProblemAndWriteNothing) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, Bytes>> files;
    std::vector<std::string> messages;
    size_t indexTail = 0;            // bytes appended to the index
    const char* image = "disc.img";  // a raw one made below
  } cases[] = {
      {"unknown names and a piece past the count, all at once",
       {{"nowhere.txt", bytesOf("x")}, {"ev/a/003.mset", bytesOf("x")}},
       {"nowhere.txt: no index entry has this name's hash", "ev/a.evt has only 3 pieces"}},
      {"an event file changed whole and through a piece",
       {{"ev/a.evt", bytesOf("whole")}, {"ev/a/000.mset", bytesOf("piece")}},
       {"ev/a.evt: differs from the disc's, and its piece 000 differs from its own cut",
        "if you edited ", " itself, cut it again with: orvex-tool extract --refresh-pieces -C ",
        "if its pieces went in with an earlier patch, "}},
      {"a piece with no event table",
       {{"eventsTable", {}}, {"ev/a/000.mset", bytesOf("piece")}},
       {"ev/a/000.mset: no index entry has this name's hash, and no event file"}},
      {"a stored file over the limit of a compressed entry",
       {{"text.txt", textLike(MAX_COMPRESSED_LENGTH + 1, 9)}},
       {"over the 16777215 a compressed entry can hold; patch without --compress\n"}},
      {"an index with bytes after its last whole record",
       {{"dup.txt", bytesOf("edited")}},
       {"the index: not read whole, and a patched index would lose the 3 bytes after its last "
        "whole record"},
       3},
      {"an entry in Mode 2 Form 2 sectors",
       {{"dup.txt", bytesOf("first, edited")}},
       {"dup.txt: entry 6 lies in Mode 2 Form 2 sectors (sector "},
       0,
       "form2.bin"},
      {"an image that cannot grow, its data track followed by audio in its file",
       {{"grow.bin", textLike(40000, 12)}},
       {"grow.bin: does not fit the entry's own sectors, and the image cannot grow: track 2 "
        "(AUDIO) follows the data track in its file"},
       0,
       "audio.cue"},
  };
  const Bytes index = readBytes(sandbox / "disc.idx");
  {
    Store store;
    Problems oddities;
    ASSERT_TRUE(openStore(sandbox / "disc.img", sandbox / "disc.idx", &store, &oddities, nullptr,
                          io::realFs())
                    .isOk());
    testing::RawImageOptions options;
    options.mode = SectorMode::kMode2Form1;
    options.form2Sectors = {locateEntry(store, 6).offset / SECTOR_SIZE};
    writeBytes(sandbox / "form2.bin",
               testing::rawFromPlain(readBytes(sandbox / "disc.img"), options));
    testing::RawImageOptions audio;
    audio.audioSectors = 20;
    const Bytes raw = testing::rawFromPlain(readBytes(sandbox / "disc.img"), audio);
    writeBytes(sandbox / "audio.bin", raw);
    testing::writeText(sandbox / "audio.cue",
                       testing::cueSheetFor("audio.bin", raw.size() / RAW_SECTOR_SIZE - 20, audio));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir changes;
    for (const auto& [name, bytes] : c.files) writeChange(changes.path(), name, bytes);
    Bytes tail = index;
    tail.resize(index.size() + c.indexTail, 0xAB);
    writeBytes(sandbox / "disc.idx", tail);
    const Tree before = snapshotTree(sandbox.path());
    // Only a forced compression refuses the large file; kept in its form it is stored.
    const std::string newImage = std::string(c.image).ends_with(".cue") ? "new.cue" : "new.img";
    std::vector<std::vector<std::string>> modes = {{"-o", newImage, "new.idx", "--compress"}};
    if (c.messages[0].find("16777215") == std::string::npos) modes.push_back({"--in-place"});
    for (const std::vector<std::string>& mode : modes) {
      std::vector<std::string> args = {c.image, "disc.idx", changes.path()};
      args.insert(args.end(), mode.begin(), mode.end());
      if (c.files.front().first != "eventsTable") args.insert(args.end(), {"--events", "table"});
      const ProgramResult r = patch(args, sandbox.path());
      EXPECT_EQ(r.status, 1);
      for (const std::string& message : c.messages)
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("refused; nothing was written"), std::string::npos) << r.err;
      EXPECT_TRUE(snapshotTree(sandbox.path()) == before) << "the refused patch wrote something";
    }
  }
}

// The text of err from the first occurrence of from up to before (or the
// end of its line), empty when from is missing.
std::string advice(const std::string& err, const std::string& from, const std::string& before) {
  const size_t at = err.find(from);
  if (at == std::string::npos) return "";
  const size_t begin = at + from.size();
  return err.substr(begin, std::min(err.find(before, begin), err.find('\n', begin)) - begin);
}

// Extract, edit a file and pieces, and patch disc after disc from one folder,
// following what each run advises: after a patch the folder's event file is
// the old disc's; a second patch is refused with a remedy for each case, and
// either road (the event file left from before, or edited by hand), like
// --update-folder, ends in a disc that holds every edit.
TEST_F(PatchProgram, EditsSurviveTheRoundTrip) {
  const auto tool = [&](std::vector<std::string> args) {
    return runProgram(ORVEX_TOOL_BINARY, args, sandbox.path());
  };
  // A command line as the tool prints it, run by the shell; where there is
  // no POSIX shell, its rm and orvex-tool commands are run word by word.
  const auto follow = [&](const std::string& command) {
    const std::string tools = fs::path(ORVEX_TOOL_BINARY).parent_path().string();
    if (testing::kPosix)
      return runProgram("/bin/sh", {"-c", "PATH='" + tools + "':\"$PATH\"; " + command},
                        sandbox.path());
    ProgramResult r;
    r.status = 0;
    std::istringstream words(command + " &&");
    std::vector<std::string> step;
    for (std::string word; words >> word;) {
      if (word != "&&") {
        step.push_back(word);
      } else if (step.size() == 2 && step[0] == "rm") {
        r.status = fs::remove(sandbox / step[1]) ? 0 : 1;
        step.clear();
      } else if (!step.empty() && step[0] == "orvex-tool") {
        r = tool(std::vector<std::string>(step.begin() + 1, step.end()));
        step.clear();
      } else {
        ADD_FAILURE() << "not an rm or orvex-tool command: " << command;
        r.status = 127;
      }
      if (r.status != 0) break;
    }
    return r;
  };
  const auto patchEdit = [&](const std::string& from, const std::string& to,
                             std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"patch",     from + ".img", from + ".idx", "edit", "-o",
                                     to + ".img", to + ".idx",   "--events",    "table"};
    args.insert(args.end(), more.begin(), more.end());
    return tool(args);
  };
  const auto discTree = [&](const std::string& name) {
    return extract(sandbox / (name + ".img"), sandbox / (name + ".idx"), table);
  };
  ASSERT_EQ(tool({"extract", "-C", "edit", "--events", "table", "disc.img", "disc.idx"}).status, 0);
  const Bytes text = textLike(9000, 21), piece1 = bytesOf("the edited piece");
  writeBytes(sandbox / "edit/text.txt", text);
  writeBytes(sandbox / "edit/ev/a/001.mset", piece1);
  ProgramResult r = tool({"extract", "-C", "edit", "--events", "table", "disc.img", "disc.idx"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("warning: ev/a/001.mset: differs from its event file's cut, kept "
                       "(--refresh-pieces replaces it)\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(readBytes(sandbox / "edit/ev/a/001.mset") == piece1);

  // The patch says which file of the folder it left behind the new disc.
  r = patchEdit("disc", "n1");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("ev/a.evt (piece 001): entry 9,"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("patch: edit/ev/a.evt: left as the old disc's; the new disc holds it "
                       "rebuilt from its piece 001\n"),
            std::string::npos)
      << r.err;
  const std::string takeNew = advice(r.err, "to edit on in edit, take the new one: ", "\n");
  EXPECT_EQ(takeNew,
            "rm edit/ev/a.evt && orvex-tool extract -C edit --events table n1.img n1.idx ev/a.evt");

  // Editing on without that step: refused, one remedy for each case.
  const Bytes piece2 = bytesOf("piece two, edited");
  writeBytes(sandbox / "edit/ev/a/002.mset", piece2);
  r = patchEdit("n1", "n2");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("patch: ev/a.evt: differs from the disc's, and its pieces 001, 002 "
                       "differ from its own cut: the two disagree\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(advice(r.err, "if you edited edit/ev/a.evt itself, cut it again with: ", " ("),
            "orvex-tool extract --refresh-pieces -C edit --events table n1.img n1.idx ev/a.evt");
  const std::string removeOld = advice(
      r.err,
      "if its pieces went in with an earlier patch, edit/ev/a.evt is the disc's from before: "
      "remove it (",
      ")");
  ASSERT_EQ(removeOld, "rm edit/ev/a.evt");
  EXPECT_FALSE(fs::exists(sandbox / "n2.img"));
  // The pieces went in with the earlier patch: that remedy.
  ASSERT_EQ(follow(removeOld).status, 0);
  r = patchEdit("n1", "n2");
  ASSERT_EQ(r.status, 0) << r.err;
  Tree n2 = discTree("n2");
  EXPECT_EQ(n2.at("text.txt"), textOf(text));
  EXPECT_EQ(n2.at("ev/a/001.mset"), textOf(piece1));
  EXPECT_EQ(n2.at("ev/a/002.mset"), textOf(piece2));

  // The explicit step: the folder's event file (written anew by extraction)
  // is replaced by the patched disc's as the patch goes in.
  ASSERT_EQ(tool({"extract", "-C", "edit", "--events", "table", "n2.img", "n2.idx"}).status, 0);
  const Bytes piece0 = bytesOf("piece zero");
  writeBytes(sandbox / "edit/ev/a/000.mset", piece0);
  r = tool(
      {"patch", "n2.img", "n2.idx", "edit", "--in-place", "--events", "table", "--update-folder"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("patch: edit/ev/a.evt: replaced by the new disc's (rebuilt from its "
                       "piece 000)\n"),
            std::string::npos)
      << r.err;
  const Tree n3 = discTree("n2");
  EXPECT_EQ(textOf(readBytes(sandbox / "edit/ev/a.evt")), n3.at("ev/a.evt"));
  EXPECT_EQ(n3.at("ev/a/000.mset"), textOf(piece0));
  EXPECT_EQ(n3.at("ev/a/002.mset"), textOf(piece2));
  // Level again, the folder edits on: the step the patch names.
  const Bytes piece1b = bytesOf("the piece edited again");
  writeBytes(sandbox / "edit/ev/a/001.mset", piece1b);
  r = patchEdit("n2", "n4");
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(follow(advice(r.err, "take the new one: ", "\n")).status, 0);
  const Bytes levelled = readBytes(sandbox / "edit/ev/a.evt");
  EXPECT_EQ(textOf(levelled), discTree("n4").at("ev/a.evt"));

  // The event file edited by hand beside its pieces: the other remedy.
  Bytes handEdited = levelled;
  handEdited.back() ^= 0x5A;
  writeBytes(sandbox / "edit/ev/a.evt", handEdited);
  r = patchEdit("n4", "n5");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("its piece 002 differs from its own cut"), std::string::npos) << r.err;
  const std::string cutAgain = advice(r.err, "itself, cut it again with: ", " (");
  ASSERT_NE(cutAgain, "") << r.err;
  r = follow(cutAgain);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("ev/a/002.mset: differs from its event file's cut, replaced"),
            std::string::npos)
      << r.err;
  r = patchEdit("n4", "n5");
  ASSERT_EQ(r.status, 0) << r.err;

  // Every edit, in the last disc.
  const Tree last = discTree("n5");
  EXPECT_EQ(last.at("text.txt"), textOf(text));
  EXPECT_EQ(last.at("ev/a.evt"), textOf(handEdited));
  EXPECT_EQ(last.at("ev/a/000.mset"), textOf(piece0));
  EXPECT_EQ(last.at("ev/a/001.mset"), textOf(piece1b));
  Bytes handPiece = piece2;
  handPiece.back() ^= 0x5A;
  EXPECT_EQ(last.at("ev/a/002.mset"), textOf(handPiece));
}

TEST_F(PatchProgram, InPlaceThroughALinkedIndexReplacesItsTargetAndKeepsTheLink) {
  ORVEX_SKIP_WITHOUT_POSIX("symbolic links and file modes");
  fs::create_directory(sandbox / "data");
  fs::rename(sandbox / "disc.idx", sandbox / "data/real.idx");
  // A mode the umask would take from a new file.
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_write;
  fs::permissions(sandbox / "data/real.idx", mode);
  fs::create_symlink("data/real.idx", sandbox / "disc.idx");
  writeChange(sandbox / "changes", "dup.txt", bytesOf("first, edited"));
  const Bytes before = readBytes(sandbox / "data/real.idx");
  const ProgramResult r = patch({"disc.img", "disc.idx", "changes", "--in-place"}, sandbox.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(sandbox / "disc.idx"));
  EXPECT_NE(readBytes(sandbox / "data/real.idx"), before);
  EXPECT_EQ(fs::status(sandbox / "data/real.idx").permissions(), mode);
  EXPECT_EQ(extract(sandbox / "disc.img", sandbox / "disc.idx", table).at("dup.txt"),
            "first, edited");
}

TEST(PatchPieces, TheTableAListNamesPlacesThemAsExtractionCutThem) {
  TempDir sandbox;
  const Bytes event = eventFile(2, {16, 24}, 40);
  const Bytes table = testing::eventsTable({"ev/a.evt"});
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"./eventsTable", "ev/a.evt"}));
  disc.addStored("./eventsTable", table);
  disc.addStored("ev/a.evt", event);
  const DiscBytes bytes = buildDisc(disc);
  writeBytes(sandbox / "disc.img", bytes.image);
  writeBytes(sandbox / "disc.idx", bytes.index);
  writeChange(sandbox / "changes", "ev/a/001.mset", bytesOf("new piece"));

  const ProgramResult r =
      patch({"disc.img", "disc.idx", "changes", "-o", "new.img", "new.idx"}, sandbox.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(extract(sandbox / "new.img", sandbox / "new.idx", table).at("ev/a/001.mset"),
            "new piece");
}

TEST_F(PatchProgram, LinksInTheChangesFolderAreRefused) {
  ORVEX_SKIP_WITHOUT_POSIX("symbolic links");
  const std::string changes = sandbox / "changes";
  writeChange(changes, "same.bin", bytesOf("edited"));
  fs::create_directory_symlink(sandbox.path(), changes + "/outside");
  fs::create_symlink(sandbox / "disc.idx", changes + "/text.txt");
  const Tree before = snapshotTree(sandbox.path());
  const ProgramResult r =
      patch({"disc.img", "disc.idx", "changes", "-o", "new.img", "new.idx"}, sandbox.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("outside: a link, not a file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("text.txt: a link, not a file"), std::string::npos) << r.err;
  EXPECT_EQ(snapshotTree(sandbox.path()), before);
}

// The index's temporary file, once the patch has begun writing it.

uint64_t sizeOf(const std::string& path) {
  std::error_code missing;
  const uint64_t size = fs::file_size(path, missing);
  return missing ? 0 : size;
}

TEST(PatchInPlace, KilledAtAnyPointLeavesTheDiscAsBeforeOrAsAfter) {
  TempDir sandbox;
  DiscBuilder disc;
  std::vector<std::string> names;
  for (int i = 0; i < 6; ++i) names.push_back("big" + std::to_string(i) + ".bin");
  disc.addStored("menu.ard", encodeNameList(names));
  for (int i = 0; i < 6; ++i) disc.addStored(names[i], noise(1 << 20, i));
  const DiscBytes original = buildDisc(disc);
  TempDir changes;
  for (int i = 0; i < 6; ++i) writeBytes(changes / names[i], noise(4 << 20, 100 + i));
  writeBytes(sandbox / "disc.img", original.image);
  writeBytes(sandbox / "disc.idx", original.index);
  const Tree before = extract(sandbox / "disc.img", sandbox / "disc.idx", {});
  ASSERT_EQ(patch({"disc.img", "disc.idx", changes.path(), "--in-place"}, sandbox.path()).status,
            0);
  const Tree after = extract(sandbox / "disc.img", sandbox / "disc.idx", {});
  ASSERT_NE(before, after);

  // Kill points, chosen by what the patch has written so far.
  struct Point {
    const char* what;
    uint64_t grownBy;  // kill once the image has grown by this much
  } points[] = {{"first appended bytes", 1},
                {"half the new bytes", 12 << 20},
                {"new bytes all appended", 24 << 20}};
  for (Point point : points) {
    SCOPED_TRACE(point.what);
    bool killed = false;
    for (int attempt = 0; attempt < 8 && !killed; ++attempt) {
      writeBytes(sandbox / "disc.img", original.image);
      writeBytes(sandbox / "disc.idx", original.index);
      const uint64_t start = original.image.size();
      bool sent = false;
      testing::ProgramOptions options;
      options.whileRunning = [&](testing::RunningProgram& program) {
        while (!program.hasExited()) {
          if (sizeOf(sandbox / "disc.img") >= start + point.grownBy) {
            program.kill();
            sent = true;
            return;
          }
        }
      };
      const ProgramResult r = runProgram(
          ORVEX_TOOL_BINARY, {"patch", "disc.img", "disc.idx", changes.path(), "--in-place"},
          sandbox.path(), options);
      if (!r.killed) {
        // The run finished before the point was seen: try again, earlier.
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_FALSE(sent);
        point.grownBy /= 2;
        continue;
      }
      killed = true;
      // The kill landed after the point: the image had grown that far.
      EXPECT_GE(sizeOf(sandbox / "disc.img"), start + point.grownBy);
      const Tree now = extract(sandbox / "disc.img", sandbox / "disc.idx", {});
      EXPECT_TRUE(now == before || now == after);
      // Until the new index is in place the disc reads as before.
      if (readBytes(sandbox / "disc.idx") == original.index) {
        EXPECT_TRUE(now == before);
      }
    }
    EXPECT_TRUE(killed) << "the patch always finished before the kill point";
  }
}

// Sends SIGINT once ready() holds; false, sending nothing, when the child
// ends first.
bool interruptWhen(testing::RunningProgram& program, const std::function<bool()>& ready) {
  while (!program.hasExited()) {
    if (ready()) return program.interrupt();
  }
  return false;
}

// Whether the process has a file open in folder (an unnamed temporary file
// shows there as "FOLDER/#INODE (deleted)").
bool writesInto(int pid, const std::string& folder) {
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    const std::string target = fs::read_symlink(fd.path(), ec).string();
    if (target.rfind(folder + "/", 0) == 0) return true;
  }
  return false;
}

TEST(PatchInPlace, InterruptedLeavesBothFilesAsTheyWere) {
  ORVEX_SKIP_WITHOUT_POSIX("signals");
  TempDir sandbox, changes;
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"big.bin"}));
  disc.addStored("big.bin", noise(1 << 20, 1));
  const DiscBytes original = buildDisc(disc);
  writeBytes(changes / "big.bin", noise(48 << 20, 2));
  for (int attempt = 0;; ++attempt) {
    ASSERT_LT(attempt, 8) << "the patch always finished before the signal";
    writeBytes(sandbox / "disc.img", original.image);
    writeBytes(sandbox / "disc.idx", original.index);
    testing::ProgramOptions options;
    options.whileRunning = [&](testing::RunningProgram& program) {
      interruptWhen(program,
                    [&] { return fs::file_size(sandbox / "disc.img") > original.image.size(); });
    };
    const ProgramResult r = runProgram(
        ORVEX_TOOL_BINARY, {"patch", "disc.img", "disc.idx", changes.path(), "--in-place"},
        sandbox.path(), options);
    if (r.signal == 0) continue;
    EXPECT_EQ(r.signal, SIGINT) << r.err;
    EXPECT_TRUE(readBytes(sandbox / "disc.img") == original.image);
    EXPECT_TRUE(readBytes(sandbox / "disc.idx") == original.index);
    EXPECT_EQ(testing::entryCount(sandbox.path()), 2u);
    break;
  }
}

TEST(PackProgram, InterruptedLeavesTheOldOutputsAndNothingElse) {
  ORVEX_SKIP_WITHOUT_POSIX("signals and /proc");
  TempDir sandbox;
  writeChange(sandbox / "small", "a.txt", bytesOf("a"));
  for (int i = 0; i < 8; ++i) writeChange(sandbox / "big", std::to_string(i), noise(8 << 20, i));
  fs::create_directory(sandbox / "out");
  ASSERT_EQ(
      runProgram(ORVEX_TOOL_BINARY, {"pack", "small", "out/d.img", "out/d.idx"}, sandbox.path())
          .status,
      0);
  const Tree before = snapshotTree(sandbox / "out");
  for (int attempt = 0;; ++attempt) {
    ASSERT_LT(attempt, 8) << "the pack always finished before the signal";
    testing::ProgramOptions options;
    options.whileRunning = [&](testing::RunningProgram& program) {
      interruptWhen(program, [&] { return writesInto(program.processId(), sandbox / "out"); });
    };
    const ProgramResult r =
        runProgram(ORVEX_TOOL_BINARY, {"pack", "--store", "big", "out/d.img", "out/d.idx"},
                   sandbox.path(), options);
    if (r.signal == 0) continue;
    EXPECT_EQ(r.signal, SIGINT) << r.err;
    EXPECT_TRUE(snapshotTree(sandbox / "out") == before);
    break;
  }
}

TEST(PatchProperty, RandomDiscsPatchToTheirEditedTrees) {
  std::mt19937 rng(20240607);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TempDir sandbox, changes;
    DiscBuilder disc;
    const int count = 2 + pick(5);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
      names.push_back(
          std::string("d").append(std::to_string(i % 2)).append("/f").append(std::to_string(i)));
    disc.addStored("menu.ard", encodeNameList(names));
    auto content = [&](size_t length) {
      return pick(2) ? textLike(length, static_cast<uint32_t>(rng()))
                     : noise(length, static_cast<uint32_t>(rng()));
    };
    std::vector<Bytes> contents;
    for (const std::string& name : names) {
      contents.push_back(content(static_cast<size_t>(pick(6000))));
      Bytes stream;
      if (pick(2) && compress(contents.back().data(), contents.back().size(), &stream))
        disc.addCompressedStream(name, stream);
      else
        disc.addStored(name, contents.back());
    }
    disc.addStored(names[0], noise(100, round));    // shadowed
    disc.addStored("unnamed", noise(3000, round));  // unnamed
    const DiscBytes bytes = buildDisc(disc);
    writeBytes(sandbox / "disc.img", bytes.image);
    writeBytes(sandbox / "disc.idx", bytes.index);

    Tree expected = extract(sandbox / "disc.img", sandbox / "disc.idx", {});
    std::set<size_t> changed;
    for (int i = 0; i < count; ++i) {
      const size_t size = contents[i].size();
      Bytes edit;
      switch (pick(5)) {
        case 0:
          continue;  // left out
        case 1:
          edit = contents[i];
          break;  // identical
        case 2:
          edit = content(size / 2);
          break;
        case 3:
          edit = content(size);
          break;
        default:
          edit = content(size + 1 + static_cast<size_t>(pick(5000)));
          break;
      }
      if (edit != contents[i]) changed.insert(static_cast<size_t>(i) + 1);
      writeChange(changes.path(), names[i], edit);
      expected[names[i]] = textOf(edit);
    }
    const ProgramResult r =
        patch({"disc.img", "disc.idx", changes.path(), "-o", "new.img", "new.idx"}, sandbox.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(extract(sandbox / "new.img", sandbox / "new.idx", {}), expected);
    expectOnlyChangesTouched(bytes.image, bytes.index, readBytes(sandbox / "new.img"),
                             readBytes(sandbox / "new.idx"), changed, disc.baseSector);
  }
}

// The sectors of the 2048-byte image an entry's stored bytes lie in.
std::set<uint64_t> sectorsOf(const Store& store, const std::string& name) {
  const Location where = locateFile(store, name);
  EXPECT_TRUE(where.status.isOk()) << name;
  std::set<uint64_t> sectors;
  for (uint64_t at = where.offset; at < where.offset + where.entry->size; at += SECTOR_SIZE)
    sectors.insert(at / SECTOR_SIZE);
  return sectors;
}

// Patched, a raw image checks right in every sector but those spoiled
// before that the patch did not write, and every sector it did not write is
// as it was; converted by bchunk, or read raw, it gives the edited files.
TEST(PatchRaw, WrittenSectorsAreSealedAndTheRestStayAsTheyWere) {
  const std::string bchunk = testing::findTool("bchunk");
  if (bchunk.empty()) GTEST_SKIP() << "needs bchunk, missing or on Windows";
  TempDir sandbox;
  const std::map<std::string, Bytes> files = {
      {"keep.bin", noise(20000, 1)}, {"edit.txt", textLike(5000, 2)}, {"grow.bin", noise(3000, 3)}};
  for (const auto& [name, bytes] : files) writeChange(sandbox / "tree", name, bytes);
  ASSERT_EQ(runProgram(ORVEX_TOOL_BINARY, {"pack", "--store", "tree", "disc.img", "disc.idx"},
                       sandbox.path())
                .status,
            0);
  Store store;
  Problems oddities;
  ASSERT_TRUE(openStore(sandbox / "disc.img", sandbox / "disc.idx", &store, &oddities, nullptr,
                        io::realFs())
                  .isOk());
  const uint64_t kept = *sectorsOf(store, "keep.bin").begin();
  const std::set<uint64_t> edited = sectorsOf(store, "edit.txt");
  const std::map<std::string, Bytes> edits = {{"edit.txt", textLike(5000, 12)},
                                              {"grow.bin", noise(9000, 13)}};
  for (const auto& [name, bytes] : edits) writeChange(sandbox / "changes", name, bytes);
  std::map<std::string, std::string> expected;
  for (const auto& [name, bytes] : files)
    expected[name] = textOf(edits.count(name) ? edits.at(name) : bytes);

  for (const SectorMode mode : {SectorMode::kMode1, SectorMode::kMode2Form1}) {
    SCOPED_TRACE(mode == SectorMode::kMode1 ? "Mode 1" : "Mode 2 Form 1");
    testing::RawImageOptions options;
    options.mode = mode;
    Bytes raw = testing::rawFromPlain(readBytes(sandbox / "disc.img"), options);
    const uint64_t sectors = raw.size() / RAW_SECTOR_SIZE;
    // Wrong on purpose: one sector the patch leaves, one it rewrites.
    testing::spoilSector(&raw, kept, testing::Spoil::kEcc);
    testing::spoilSector(&raw, *edited.begin(), testing::Spoil::kEdc);
    writeBytes(sandbox / "disc.bin", raw);
    testing::writeText(sandbox / "disc.cue", testing::cueSheetFor("disc.bin", sectors, options));

    // written: the sectors the patch may write among the old ones; the
    // spoiled ones among them are right after it.
    const auto expectSealed = [&](const std::string& image, const std::set<uint64_t>& written) {
      std::set<uint64_t> wrong = {kept, *edited.begin()};
      for (const uint64_t i : written) wrong.erase(i);
      const Bytes now = readBytes(sandbox / image);
      ASSERT_GT(now.size(), raw.size());
      ASSERT_EQ(now.size() % RAW_SECTOR_SIZE, 0u);
      for (uint64_t i = 0; i < now.size() / RAW_SECTOR_SIZE; ++i) {
        const uint8_t* sector = now.data() + i * RAW_SECTOR_SIZE;
        EXPECT_EQ(checkSector(sector, static_cast<uint32_t>(i)).right(), !wrong.count(i))
            << image << " sector " << i;
        EXPECT_EQ(sectorMode(sector), mode) << image << " sector " << i;
        if (i < sectors && !written.count(i)) {
          ASSERT_TRUE(
              std::equal(sector, sector + RAW_SECTOR_SIZE, raw.data() + i * RAW_SECTOR_SIZE))
              << image << " sector " << i << " changed";
        }
      }
    };
    ProgramResult r =
        patch({"disc.cue", "disc.idx", "changes", "-o", "new.cue", "new.idx"}, sandbox.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("1 rewritten in their own sectors"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("new.cue names its data file new.bin\n"), std::string::npos) << r.err;
    EXPECT_EQ(textOf(readBytes(sandbox / "new.cue")),
              testing::cueSheetFor("new.bin", sectors, options));
    expectSealed("new.bin", edited);
    r = runProgram(bchunk, {"new.bin", "new.cue", "plain"}, sandbox.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    Tree tree = extract(sandbox / "plain01.iso", sandbox / "new.idx", {});
    tree.erase("eventsTable");
    EXPECT_EQ(tree, expected);

    // In place, every change is appended to the bare raw file.
    r = patch({"disc.bin", "disc.idx", "changes", "--in-place"}, sandbox.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("0 rewritten in their own sectors"), std::string::npos) << r.err;
    expectSealed("disc.bin", {});
    tree = extract(sandbox / "disc.bin", sandbox / "disc.idx", {});
    tree.erase("eventsTable");
    EXPECT_EQ(tree, expected);
    ASSERT_EQ(runProgram(ORVEX_TOOL_BINARY, {"pack", "--store", "tree", "disc.img", "disc.idx"},
                         sandbox.path())
                  .status,
              0);
  }
}

}  // namespace
}  // namespace orvex
