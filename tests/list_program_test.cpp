// Whole-program tests of `orvex-tool list` and `orvex-tool unnamed`: discs with
// oddities built with the packer library, read by the real binary.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "disc_builder.h"
#include "disc_content.h"
#include "human_bytes.h"
#include "pack.h"
#include "program.h"

namespace orvex {
namespace {

using testing::bytesOf;
using testing::compressed;
using testing::eventsTable;
using testing::ProgramResult;
using testing::readBytes;
using testing::runProgram;
using testing::snapshotTree;
using testing::TempDir;
using testing::textOf;
using testing::writeBytes;
using testing::writeText;
using Tree = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

std::string hashFile(std::string_view name, const char* suffix = "") {
  char text[32];
  std::snprintf(text, sizeof text, "%08X%s.bin", hashName(name), suffix);
  return text;
}

Lines splitLines(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool isUnit(const std::string& word) {
  return word == "B" || word == "KiB" || word == "MiB" || word == "GiB" || word == "TiB";
}

// A table's rows and summary with the padding between columns taken out:
// single spaces between the fixed columns, the names column as printed.
// Summary lines have no names column. A size's unit belongs to its column.
Lines canonicalTable(const std::string& table) {
  Lines lines;
  bool summary = false;
  for (const std::string& line : splitLines(table)) {
    if (line.empty()) {
      summary = true;
      continue;
    }
    std::istringstream in(line);
    std::string field, text;
    for (int fields = 0; (summary || fields < 7) && in >> field;) {
      if (fields > 0 && isUnit(field)) {
        text += " " + field;
        continue;
      }
      text += (fields++ ? " " : "") + field;
    }
    if (!summary) {
      std::string names;
      std::getline(in, names);
      text += " " + names.substr(names.find_first_not_of(' '));
    }
    lines.push_back(text);
  }
  return lines;
}

// Prints a JSON listing in the canonical table form, or fails to parse it.
constexpr char kJsonToTable[] = R"(
import json, sys
def human(n):
    units, unit = ["B", "KiB", "MiB", "GiB", "TiB"], 0
    while n >= 1024 and unit < 4:
        n, unit = n / 1024, unit + 1
    return ("%.0f %s" if unit == 0 else "%.1f %s") % (n, units[unit])
d = json.load(open(sys.argv[1], encoding="utf-8"))
assert sorted(d) == ["entries", "summary"], sorted(d)
print("# hash sector size kind decoded state names")
for e in d["entries"]:
    decoded = "-" if e["decoded_size"] is None else human(e["decoded_size"])
    print(e["position"], e["hash"], e["sector"], human(e["size"]), e["kind"], decoded, e["state"],
          ", ".join(e["names"]) or "-")
s = d["summary"]
print("state entries stored")
for state, t in s["states"].items():
    print(state, t["entries"], human(t["stored_bytes"]))
print("total", s["entries"], human(s["stored_bytes"]))
)";

// Prints each entry's names as hex of their bytes, read back as Latin-1.
constexpr char kJsonNameBytes[] = R"(
import json, sys
for e in json.load(open(sys.argv[1], encoding="utf-8"))["entries"]:
    print(" ".join(n.encode("latin-1").hex() for n in e["names"]))
)";

std::string hexOf(const std::string& bytes) {
  std::string text;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", c);
    text += two;
  }
  return text;
}

class ListProgram : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(work); }

  void writeDisc(const DiscBuilder& disc) {
    const DiscBytes bytes = buildDisc(disc);
    writeBytes(sandbox / "disc.img", bytes.image);
    writeBytes(sandbox / "disc.idx", bytes.index);
  }

  ProgramResult tool(std::vector<std::string> args) {
    return runProgram(ORVEX_TOOL_BINARY, args, work);
  }

  ProgramResult list(bool json = false) {
    std::vector<std::string> args = {"list", "../disc.img", "../disc.idx"};
    if (json) args.push_back("--json");
    return tool(args);
  }

  // Runs a Python script on a JSON listing; skips the test without Python.
  std::string python(const char* script, const std::string& json) {
    if (!testing::kPosix) return "<no python3>";  // a Windows program runs no POSIX python3
    writeText(sandbox / "listing.json", json);
    const ProgramResult r = runProgram(
        "/usr/bin/env", {"python3", "-c", script, sandbox / "listing.json"}, sandbox.path());
    if (r.status == 127) return "<no python3>";
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  // The disc with one entry in every state, named by its lists and by the
  // event table in the working directory.
  DiscBuilder oddDisc() {
    DiscBuilder disc;
    disc.addStored("menu.ard",
                   encodeNameList({"text", "z.bin", "bad.z", "dup", "zero", "past.end"}));
    disc.addStored("text", bytesOf("hello"));                                  // 1 ok
    disc.addCompressedStream("z.bin", compressed(std::string(3000, 'z')));     // 2 ok
    disc.addCompressedStream("bad.z", {'a', 'b', 0x00, 0x00, 0x09, 0x80});     // 3 damaged
    disc.addStored("dup", bytesOf("first"));                                   // 4 ok
    disc.addStored("dup", bytesOf("second"));                                  // 5 shadowed
    disc.addStored("zero", bytesOf("never")).sector = 0;                       // 6 never-found
    disc.addStored("hidden", bytesOf("hidden"));                               // 7 unnamed
    disc.addCompressedStream("hidden.z", compressed(std::string(5000, 'h')));  // 8 unnamed
    disc.addStored("po07.ard", encodeNameList({"from-po07"}));                 // 9 read as pi32.ard
    disc.addStored("from-po07", bytesOf("listed"));                            // 10
    disc.addStored("ev/a.evt", bytesOf("event"));               // 11 from eventsTable
    disc.addStored("past.end", bytesOf("xx")).size = 1u << 20;  // 12 past-end
    writeBytes(work + "/eventsTable", eventsTable({"ev/a.evt", "../no.evt"}));
    return disc;
  }

  TempDir sandbox;
  std::string work = sandbox / "work";
};

TEST_F(ListProgram, TableShowsEveryStateWithItsNames) {
  const DiscBuilder disc = oddDisc();
  writeDisc(disc);
  const ProgramResult r = list();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const Lines table = canonicalTable(r.out);
  const Lines expectedStates = {"ok",       "ok",          "ok",      "damaged", "ok",
                                "shadowed", "never-found", "unnamed", "unnamed", "ok",
                                "ok",       "ok",          "past-end"};
  const Lines expectedNames = {"menu.ard",  "text",     "z.bin",   "bad.z", "dup",
                               "-",         "-",        "-",       "-",     "pi32.ard",
                               "from-po07", "ev/a.evt", "past.end"};
  ASSERT_EQ(table.size(), 1 + expectedStates.size() + 8) << r.out;
  EXPECT_EQ(table[0], "# hash sector size kind decoded state names");
  for (size_t i = 0; i < expectedStates.size(); ++i) {
    std::istringstream row(table[i + 1]);
    std::string position, hash, sector, size, sizeUnit, kind, decoded, state, names;
    row >> position >> hash >> sector >> size >> sizeUnit >> kind >> decoded;
    if (decoded != "-") row >> decoded;  // its unit
    row >> state;
    std::getline(row, names);
    EXPECT_EQ(position, std::to_string(i));
    EXPECT_EQ(state, expectedStates[i]) << table[i + 1];
    EXPECT_EQ(names, " " + expectedNames[i]) << table[i + 1];
  }
  EXPECT_NE(table[3].find(" compressed 2.9 KiB "), std::string::npos) << table[3];
  EXPECT_NE(table[4].find(" compressed 9 B "), std::string::npos) << table[4];
  EXPECT_EQ(table[table.size() - 7], "never-found 1 5 B");
  const auto stored = [&](size_t i) {
    return disc.files[i].size.value_or(static_cast<uint32_t>(disc.files[i].stored.size()));
  };
  EXPECT_EQ(table[table.size() - 3], "unnamed 2 " + humanBytes(stored(7) + stored(8)));
  uint64_t all = 0;
  for (size_t i = 0; i < disc.files.size(); ++i) all += stored(i);
  EXPECT_EQ(table.back(), "total 13 " + humanBytes(static_cast<double>(all)));
}

TEST_F(ListProgram, JsonParsesAndAgreesWithTheTable) {
  writeDisc(oddDisc());
  const ProgramResult table = list();
  const ProgramResult json = list(true);
  ASSERT_EQ(json.status, 0) << json.err;
  const std::string fromJson = python(kJsonToTable, json.out);
  if (fromJson == "<no python3>") GTEST_SKIP() << "no python3 to run";
  EXPECT_EQ(splitLines(fromJson), canonicalTable(table.out));
}

TEST_F(ListProgram, JsonCarriesArbitraryNameBytes) {
  const std::vector<std::string> names = {"q\"uote",     "back\\slash", "new\nline", "caf\xE9",
                                          "ctl\x01\x1F", "\x7F\xFF",    "tab\there"};
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList(names));
  for (const std::string& n : names) disc.addStored(n, bytesOf(n));
  writeDisc(disc);
  const ProgramResult json = list(true);
  ASSERT_EQ(json.status, 0) << json.err;
  const std::string shown = python(kJsonNameBytes, json.out);
  if (shown == "<no python3>") GTEST_SKIP() << "no python3 to run";
  Lines expected = {hexOf("menu.ard")};
  for (const std::string& n : names) expected.push_back(hexOf(n));
  EXPECT_EQ(splitLines(shown), expected);

  // The table keeps control bytes off the terminal.
  const ProgramResult table = list();
  EXPECT_NE(table.out.find("  new?line\n"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("  ctl??\n"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("  caf\xE9\n"), std::string::npos) << table.out;
}

TEST_F(ListProgram, AnEmptySelectionGivesAnEmptyListing) {
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({}));
  writeDisc(disc);
  const std::vector<std::string> args = {"list", "--state", "shadowed", "../disc.img",
                                         "../disc.idx"};
  std::vector<std::string> jsonArgs = args;
  jsonArgs.push_back("--json");
  const ProgramResult json = tool(jsonArgs);
  ASSERT_EQ(json.status, 0) << json.err;
  const std::string fromJson = python(kJsonToTable, json.out);
  if (fromJson == "<no python3>") GTEST_SKIP() << "no python3 to run";
  const Lines table = canonicalTable(tool(args).out);
  EXPECT_EQ(splitLines(fromJson), table);
  // No row; the totals still count the whole disc: menu.ard's 32 bytes.
  EXPECT_EQ(table.size(), 1 + 8u) << tool(args).out;
  EXPECT_EQ(table.back(), "total 1 32 B");
}

TEST_F(ListProgram, AgreesWithTheExtractorOnEntriesNoNameReaches) {
  writeDisc(oddDisc());
  const Lines table = canonicalTable(list().out);
  size_t unreached = 0;
  for (size_t i = 1; i < table.size() - 8; ++i) unreached += table[i].ends_with(" -");

  const ProgramResult run = runProgram(ORVEX_BINARY, {"../disc.img", "../disc.idx"}, work);
  ASSERT_EQ(run.status, 1);  // bad.z and past.end are not written
  const std::string phrase = std::to_string(unreached) + " of " + std::to_string(table.size() - 9) +
                             " index entries reached by no name";
  EXPECT_NE(run.err.find(phrase), std::string::npos) << phrase << "\n" << run.err;
}

TEST_F(ListProgram, UnnamedWritesWhatNoNameReachesAndNeverOverwrites) {
  writeDisc(oddDisc());
  const Tree before = snapshotTree(work);
  ProgramResult r = tool({"unnamed", "../disc.img", "../disc.idx", "../out"});
  EXPECT_EQ(r.status, 0) << r.err;
  const Tree expected = {{hashFile("dup", "-1"), "second"},
                         {hashFile("hidden"), "hidden"},
                         {hashFile("hidden.z"), std::string(5000, 'h')}};
  EXPECT_EQ(snapshotTree(sandbox / "out"), expected);
  EXPECT_EQ(snapshotTree(work), before);
  EXPECT_EQ(splitLines(r.out).size(), 3u) << r.out;
  const Lines err = splitLines(r.err);
  ASSERT_EQ(err.size(), 4u) << r.err;  // bad.z, zero and past.end, then the summary
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(err[i].starts_with("orvex-tool: unnamed: entry ")) << err[i];
    EXPECT_TRUE(err[i].ends_with(", not written")) << err[i];
  }
  EXPECT_EQ(err[3],
            "orvex-tool: unnamed: 3 files written (4.9 KiB), 0 not written, 3 entries "
            "skipped");

  // The same as one JSON document: each entry's fate, then the counts.
  const ProgramResult json = tool({"unnamed", "--json", "../disc.img", "../disc.idx", "../json"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("\"path\": \"../json/" + hashFile("hidden") + "\", \"written\": true"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"summary\": {\"written\": 3, \"bytes\": 5012, \"present\": 0, "
                          "\"not_written\": 0, \"skipped\": 3}"),
            std::string::npos)
      << json.out;

  writeText(sandbox / ("out/" + hashFile("hidden")), "edited");
  r = tool({"unnamed", "../disc.img", "../disc.idx", "../out"});
  EXPECT_EQ(r.status, 1);
  // The two files still holding their entries' bytes are present.
  EXPECT_EQ(splitLines(r.err).back(),
            "orvex-tool: unnamed: 0 files written (0 B), 2 already present, 1 not written, 3 "
            "entries skipped");
  EXPECT_NE(r.err.find(hashFile("hidden") + ": already exists"), std::string::npos) << r.err;
  Tree edited = expected;
  edited[hashFile("hidden")] = "edited";
  EXPECT_EQ(snapshotTree(sandbox / "out"), edited);
}

// Names from a names file: a plain one reaches an unnamed entry, a tied one
// the shadowed entry; list, unnamed and extract treat them as named, and
// patch --unnamed puts back the files unnamed names.
TEST_F(ListProgram, NamesFilesNameEntriesForEveryCommand) {
  writeDisc(oddDisc());
  writeText(sandbox / "names.txt", "# recovered by hand\r\nhidden\r\n\nd\\x75p\t#5\nnot\\qvalid\n");
  ProgramResult r =
      tool({"list", "--state", "ok", "--names", "../names.txt", "../disc.img", "../disc.idx"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("warning: ../names.txt:5: an unknown escape '\\q'"), std::string::npos)
      << r.err;
  const Lines rows = canonicalTable(r.out);
  const auto hasRow = [&](const std::string& start, const std::string& name) {
    return std::any_of(rows.begin(), rows.end(), [&](const std::string& row) {
      return row.starts_with(start) && row.ends_with(" ok " + name);
    });
  };
  EXPECT_TRUE(hasRow("5 ", "dup (../names.txt:4)")) << r.out;
  EXPECT_TRUE(hasRow("7 ", "hidden (../names.txt:2)")) << r.out;
  r = tool({"list", "--json", "--names", "../names.txt", "../disc.img", "../disc.idx"});
  EXPECT_NE(r.out.find("\"names\": [\"hidden\"], \"given_by\": \"../names.txt:2\""),
            std::string::npos)
      << r.out;

  r = tool({"cat", "--names", "../names.txt", "../disc.img", "../disc.idx", "dup", "hidden"});
  EXPECT_EQ(r.out, "secondhidden");
  r = tool({"unnamed", "--names", "../names.txt", "../disc.img", "../disc.idx", "../out"});
  EXPECT_EQ(snapshotTree(sandbox / "out"), (Tree{{hashFile("hidden.z"), std::string(5000, 'h')}}));
  r = tool({"extract", "-q", "-C", "../x", "--names", "../names.txt", "../disc.img", "../disc.idx",
            "hidden"});
  EXPECT_EQ(snapshotTree(sandbox / "x"), (Tree{{"hidden", "hidden"}}));

  // The shadowed entry, edited as unnamed writes it, goes back where it came from.
  writeText(sandbox / "back/" + hashFile("dup", "-1"), "second, edited");
  std::filesystem::create_directory(sandbox / "none");
  r = tool(
      {"patch", "../disc.img", "../disc.idx", "../none", "--unnamed", "../back", "--in-place"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = tool({"cat", "--names", "../names.txt", "../disc.img", "../disc.idx", "dup"});
  EXPECT_EQ(r.out, "second, edited");
}

// A names file is the user's: `names -o` onto it is refused without --force,
// and with it keeps its lines and adds what the disc names; its given name
// outranks a short string of the disc that merely shares the hash.
TEST_F(ListProgram, NamesKeepsTheNamesFileItRewrites) {
  // Four bytes whose hash is that of "big": with the disc's ".bin", they
  // share the hash of "big.bin".
  const std::string bytes = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string collision;
  for (size_t i = 0; collision.empty() && i < 62 * 62 * 62 * 62; ++i) {
    const std::string s = {bytes[i % 62], bytes[i / 62 % 62], bytes[i / (62 * 62) % 62],
                           bytes[i / (62 * 62 * 62)]};
    if (hashName(s) == hashName("big")) collision = s;
  }
  ASSERT_EQ(collision.size(), 4u);
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"data.bin"}));
  disc.addStored("data.bin", bytesOf("\x01" + collision + "\x01sfx/door.wav\x01"));
  disc.addStored("big.bin", bytesOf("big"));
  disc.addStored("sfx/door.wav", bytesOf("creak"));
  writeDisc(disc);
  const std::string mine = "# by hand\nbig.bin\n\n# not on this disc\nnowhere.dat\n";
  writeText(sandbox / "hand.names", mine);
  const std::vector<std::string> args = {"names",         "--names",     "../hand.names", "-o",
                                         "../hand.names", "../disc.img", "../disc.idx"};

  ProgramResult r = tool(args);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("../hand.names already exists"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(textOf(readBytes(sandbox / "hand.names")), mine);

  std::vector<std::string> forced = args;
  forced.insert(forced.begin() + 1, "--force");
  r = tool(forced);
  EXPECT_EQ(r.status, 0) << r.err;
  const Lines table = splitLines(r.out);
  const auto row = [&](const std::string& start) {
    return std::find_if(table.begin(), table.end(),
                        [&](const std::string& line) { return line.starts_with(start); });
  };
  const auto given = row("  big.bin  given: ../hand.names:2");
  const auto colliding = row("  " + collision + ".bin  completed: ");
  ASSERT_NE(colliding, table.end()) << r.out;
  EXPECT_LT(given, colliding) << r.out;
  EXPECT_EQ(textOf(readBytes(sandbox / "hand.names")), mine + "sfx/door.wav\n");
  EXPECT_EQ(testing::entryCount(sandbox.path()), 4u);  // no temporary left beside it
  EXPECT_NE(r.err.find("2 names of 2 entries written to ../hand.names, its own lines kept and 1 "
                       "added"),
            std::string::npos)
      << r.err;
}

struct CommandCase {
  std::vector<std::string> args;
  int status;
  const char* shown;  // on stdout for status 0, else on stderr
};

class CommandLine : public ListProgram, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandLine, StatusAndMessage) {
  writeDisc(DiscBuilder{});
  const ProgramResult r = tool(GetParam().args);
  EXPECT_EQ(r.status, GetParam().status);
  const std::string& shown = GetParam().status == 0 ? r.out : r.err;
  const std::string& other = GetParam().status == 0 ? r.err : r.out;
  EXPECT_NE(shown.find(GetParam().shown), std::string::npos) << shown;
  EXPECT_EQ(other, "");
  EXPECT_FALSE(std::filesystem::exists(sandbox / "out"));
}

constexpr char kList[] = "usage: orvex-tool list [-C DIR] [--events FILE] [--state";
constexpr char kUnnamed[] = "usage: orvex-tool unnamed IMAGE INDEX OUT_DIR";
constexpr char kListTry[] = "\nTry 'orvex-tool list --help'\n";
constexpr char kUnnamedTry[] = "\nTry 'orvex-tool unnamed --help'\n";

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLine,
    ::testing::Values(
        CommandCase{{"list", "--help"}, 0, kList}, CommandCase{{"list", "a", "b", "-h"}, 0, kList},
        CommandCase{{"list"}, 2, kListTry}, CommandCase{{"list", "a"}, 2, kListTry},
        CommandCase{{"list", "a", "b", "c"}, 2, kListTry},
        CommandCase{{"list", "a", "b", "--jsn"}, 2, kListTry},
        CommandCase{{"list", "missing.img", "../disc.idx"}, 1, "cannot open image missing.img"},
        CommandCase{{"list", "../disc.img", "missing.idx"}, 1, "cannot read index missing.idx"},
        CommandCase{{"list", "../disc.img", "."}, 1, "cannot read index ."},
        CommandCase{{"list", "-C", "../disc.img", "../disc.img", "../disc.idx"},
                    1,
                    "cannot use output folder ../disc.img"},
        CommandCase{{"list", "--events", "../out", "../disc.img", "../disc.idx"},
                    1,
                    "cannot read event table ../out: no such file"},
        CommandCase{{"extract", "-C", "../out", "missing.img", "../disc.idx"},
                    1,
                    "orvex-tool: extract: cannot open image missing.img"},
        CommandCase{
            {"extract", "-C", "../out", "--events", "nothing", "../disc.img", "../disc.idx"},
            1,
            "orvex-tool: extract: cannot read event table nothing: no such file"},
        CommandCase{{"cat", "../disc.img", "missing.idx", "name"},
                    1,
                    "orvex-tool: cat: cannot read index missing.idx"},
        CommandCase{{"unnamed", "--help"}, 0, kUnnamed},
        CommandCase{{"unnamed", "a", "b"}, 2, kUnnamedTry},
        CommandCase{{"unnamed", "a", "b", "../out", "d"}, 2, kUnnamedTry},
        CommandCase{{"unnamed", "--force", "a", "b", "../out"}, 2, kUnnamedTry},
        CommandCase{{"unnamed", ".", "../disc.idx", "../out"}, 1, "cannot open image ."},
        // An empty index, or swapped files: the warnings say why, and no name
        // reaching an entry makes it a failure that does nothing more.
        CommandCase{{"list", "../disc.img", "../disc.idx"},
                    1,
                    "orvex-tool: list: no name reached an index entry: the image and the index "
                    "make no sense together"},
        CommandCase{{"unnamed", "../disc.img", "../disc.idx", "../out"},
                    1,
                    "orvex-tool: unnamed: no name reached an index entry"},
        CommandCase{{"unnamed", "../disc.idx", "../disc.img", "../out"},
                    1,
                    "orvex-tool: unnamed: no name reached an index entry"},
        CommandCase{{"names", "../disc.img", "../disc.idx"},
                    1,
                    "orvex-tool: names: no name reached an index entry"},
        CommandCase{{"cat", "../disc.img", "../disc.idx", "name"},
                    1,
                    "orvex-tool: cat: no name reached an index entry"},
        CommandCase{{"extract", "-n", "-C", "../out", "../disc.idx", "../disc.img"},
                    1,
                    "orvex-tool: extract: no name reached an index entry: the image and the "
                    "index make no sense together"}));

}  // namespace
}  // namespace orvex
