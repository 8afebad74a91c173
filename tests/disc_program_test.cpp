// Raw images and the index inside the disc, against the real binaries: every
// command on raw copies of a plain image; an image xorriso makes holding the
// store's image and its index as two files, plain and as a raw copy; and
// `orvex-tool disc` describing it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "disc_builder.h"
#include "disc_content.h"
#include "program.h"
#include "raw_image.h"

namespace orvex {
namespace {

using testing::bytesOf;
using testing::ProgramResult;
using testing::runProgram;
using testing::snapshotTree;
using testing::TempDir;

// Every command says of a raw copy of a disc, bare or under a cue sheet, in
// Mode 1 or Mode 2 Form 1, what it says of the plain image, and writes the
// same files.
TEST(RawImage, EveryCommandSaysOfARawCopyWhatItSaysOfThePlainImage) {
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"a.txt", "sub/b.z", "ev/intro.evt"}));
  disc.addStored("a.txt", bytesOf("alpha\n"));
  disc.addCompressedStream("sub/b.z", testing::compressed(std::string(9000, 'b')));
  disc.addStored("ev/intro.evt", testing::eventFile(2, {16, 18}, 20));
  disc.addStored("nameless", std::vector<uint8_t>(5000, 'n'));
  const DiscBytes bytes = buildDisc(disc);
  TempDir dir;
  struct Copy {
    std::string folder, image;  // the image as the commands are given it
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  };
  testing::RawImageOptions form1;
  form1.mode = SectorMode::kMode2Form1;
  const std::vector<uint8_t> mode1 = testing::rawFromPlain(bytes.image);
  const std::vector<uint8_t> mode2 = testing::rawFromPlain(bytes.image, form1);
  const uint64_t sectors = mode1.size() / RAW_SECTOR_SIZE;
  const std::vector<Copy> copies = {
      {"plain", "disc.img", {{"disc.img", bytes.image}}},
      {"mode1", "disc.img", {{"disc.img", mode1}}},
      {"mode2", "disc.img", {{"disc.img", mode2}}},
      {"mode1-cue", "disc.cue",
       {{"DISC.BIN", mode1}, {"disc.cue", bytesOf(testing::cueSheetFor("disc.bin", sectors))}}},
      {"mode2-cue", "disc.cue",
       {{"disc.bin", mode2},
        {"disc.cue", bytesOf(testing::cueSheetFor("disc.bin", sectors, form1))}}},
  };
  const std::vector<std::vector<std::string>> commands = {
      {"list", "IMAGE", "../disc.idx"},
      {"list", "IMAGE", "../disc.idx", "--json"},
      {"cat", "IMAGE", "../disc.idx", "a.txt", "sub/b.z"},
      {"names", "IMAGE", "../disc.idx"},
      {"unnamed", "IMAGE", "../disc.idx", "unnamed"},
      {"extract", "IMAGE", "../disc.idx", "-C", "tool-out"},
  };
  std::map<std::string, std::string> plainSays;
  std::map<std::string, std::string> plainTree;
  for (const Copy& copy : copies) {
    SCOPED_TRACE(copy.folder);
    const std::string here = dir / copy.folder;
    std::filesystem::create_directories(here + "/out");
    for (const auto& [name, content] : copy.files) testing::writeBytes(here + "/" + name, content);
    testing::writeBytes(dir / "disc.idx", bytes.index);
    testing::writeBytes(here + "/out/eventsTable", testing::eventsTable({"ev/intro.evt"}));
    std::map<std::string, std::string> says;
    const ProgramResult run =
        runProgram(ORVEX_BINARY, {"../" + copy.image, "../../disc.idx"}, here + "/out");
    says["orvex"] = std::to_string(run.status) + "\n" + run.out + run.err;
    for (std::vector<std::string> args : commands) {
      args[1] = copy.image;
      const ProgramResult r = runProgram(ORVEX_TOOL_BINARY, args, here);
      says[args[0] + (args.back() == "--json" ? " --json" : "")] =
          std::to_string(r.status) + "\n" + r.outBytes + r.err;
    }
    std::map<std::string, std::string> tree = snapshotTree(here + "/out");
    for (const auto& [name, content] : snapshotTree(here + "/unnamed"))
      tree["unnamed/" + name] = content;
    for (const auto& [name, content] : snapshotTree(here + "/tool-out"))
      tree["tool-out/" + name] = content;
    if (copy.folder == "plain") {
      plainSays = says;
      plainTree = tree;
      EXPECT_EQ(tree["a.txt"], "alpha\n");
      EXPECT_EQ(tree["sub/b.z"], std::string(9000, 'b'));
      EXPECT_EQ(tree["ev/intro/001.mset"].size(), 2u);
      EXPECT_EQ(tree["tool-out/a.txt"], "alpha\n");
      EXPECT_EQ(std::count_if(tree.begin(), tree.end(),
                              [](const auto& file) {
                                return file.first.starts_with("unnamed/") &&
                                       file.second == std::string(5000, 'n');
                              }),
                1);
      continue;
    }
    // Messages name the image as given.
    for (auto& [command, said] : says) {
      for (size_t at = said.find(copy.image); at != std::string::npos;
           at = said.find(copy.image, at + 1))
        said.replace(at, copy.image.size(), "disc.img");
      EXPECT_EQ(said, plainSays[command]) << command;
    }
    EXPECT_EQ(tree, plainTree);
  }
}

class IndexInImage : public ::testing::Test {
 protected:
  void SetUp() override {
    xorriso_ = testing::findTool("xorriso");
    if (xorriso_.empty()) GTEST_SKIP() << "needs xorriso (Debian: xorriso), not on this system";
    DiscBuilder disc;
    disc.addStored("menu.ard", encodeNameList({"a.txt", "sub/b.z"}));
    disc.addStored("a.txt", bytesOf("alpha\n"));
    disc.addCompressedStream("sub/b.z", testing::compressed(std::string(5000, 'b')));
    const DiscBytes bytes = buildDisc(disc);
    std::filesystem::create_directories(dir / "tree/STORE");
    std::filesystem::create_directories(dir / "tree/Data");
    testing::writeBytes(dir / "tree/STORE/DISC.IMG", bytes.image);
    testing::writeBytes(dir / "tree/Data/Index.idx", bytes.index);
    testing::writeBytes(dir / "disc.img", bytes.image);
    testing::writeBytes(dir / "disc.idx", bytes.index);
    const ProgramResult made =
        runProgram(xorriso_, {"-as", "mkisofs", "-J", "-V", "ORVEX_TEST", "-o", "disc.iso", "tree"},
                   dir.path());
    ASSERT_EQ(made.status, 0) << made.err;
    testing::writeBytes(dir / "disc.bin",
                        testing::rawFromPlain(testing::readBytes(dir / "disc.iso")));
  }

  ProgramResult tool(const std::vector<std::string>& args) {
    return runProgram(ORVEX_TOOL_BINARY, args, dir.path());
  }

  // The sector xorriso reports for a file of the image it made, from its
  // line "File data lba: 0 , SECTOR , BLOCKS , SIZE , 'PATH'".
  std::string sectorOf(const std::string& path) {
    const ProgramResult report = runProgram(
        xorriso_, {"-indev", "disc.iso", "-find", path, "-exec", "report_lba"}, dir.path());
    const size_t line = report.out.find("File data lba:");
    const size_t comma = report.out.find(',', line);
    EXPECT_NE(line, std::string::npos) << report.out << report.err;
    if (line == std::string::npos || comma == std::string::npos) return "";
    std::istringstream fields(report.out.substr(comma + 1));
    std::string sector;
    fields >> sector;
    return sector;
  }

  // The sector and size disc prints on the row of path.
  static std::string rowOf(const std::string& out, const std::string& path) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line);
      std::string sector, size, name;
      if (fields >> sector >> size >> name && name == path) return sector + " " + size;
    }
    return "";
  }

  std::string xorriso_;
  TempDir dir;
};

TEST_F(IndexInImage, GivesTheTreeOfTheTwoFilesGivenApart) {
  ASSERT_EQ(tool({"extract", "-q", "-C", "apart", "disc.img", "disc.idx"}).status, 0);
  const auto reference = snapshotTree(dir / "apart");
  ASSERT_EQ(reference.count("sub/b.z"), 1u);
  for (const std::string image : {"disc.iso", "disc.bin"}) {
    SCOPED_TRACE(image);
    const std::string out = "from-" + image;
    // Joliet's name, and the primary one in another case with its version.
    for (const std::string path : {"/Data/Index.idx", "data/INDEX.IDX;1"}) {
      std::filesystem::remove_all(dir / out);
      const ProgramResult run = tool({"extract", "-q", "-C", out, image, "--index-in-image", path});
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(snapshotTree(dir / out), reference) << path;
    }
  }
  const ProgramResult folder = tool({"cat", "disc.iso", "--index-in-image", "/Data", "a.txt"});
  EXPECT_EQ(folder.status, 1);
  EXPECT_EQ(folder.err,
            "orvex-tool: cat: cannot read index /Data in image disc.iso: is a folder of the disc, "
            "not a file\n");
  const ProgramResult plain =
      tool({"cat", "disc.img", "--index-in-image", "/Data/Index.idx", "a.txt"});
  EXPECT_EQ(plain.status, 1);
  EXPECT_NE(plain.err.find("no ISO 9660 file system"), std::string::npos) << plain.err;
}

TEST_F(IndexInImage, DiscSaysWhereTheFilesAreAndWhichSectorsAreBad) {
  std::vector<uint8_t> raw = testing::readBytes(dir / "disc.bin");
  testing::spoilSector(&raw, 3, testing::Spoil::kEcc);
  testing::spoilSector(&raw, 7, testing::Spoil::kHeader);
  testing::writeBytes(dir / "disc.bin", raw);
  const std::string index = sectorOf("/Data/Index.idx");
  const int store = std::stoi(sectorOf("/STORE/DISC.IMG"));

  const ProgramResult text = tool({"disc", "--bad", "disc.bin"});
  EXPECT_EQ(text.status, 0) << text.err;
  const std::vector<std::string> lines = {"kind: raw (2352-byte sectors)",
                                          "  1  MODE1/2352  ",
                                          "BOOT2 marker: sector " + std::to_string(store + 16),
                                          "ISO 9660 volume: ORVEX_TEST (Joliet names)",
                                          "bad sectors: 2 (header 1, EDC 1, ECC 2)",
                                          "  sector 3: ECC",
                                          "  sector 7: header, EDC, ECC"};
  for (const std::string& line : lines)
    EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
  EXPECT_EQ(rowOf(text.out, "/Data/Index.idx"), index + " 48") << text.out;
  const ProgramResult json = tool({"disc", "--json", "disc.bin"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find(R"({"path": "/Data/Index.idx", "folder": false, "sector": )" + index +
                          R"(, "size": 48})"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find(R"("count": 2,)"), std::string::npos) << json.out;

  const ProgramResult plain = tool({"disc", "disc.img"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(plain.out.find("kind: plain (2048-byte sectors)\n"), std::string::npos) << plain.out;
  EXPECT_NE(plain.out.find("ISO 9660 volume: none ("), std::string::npos) << plain.out;
  EXPECT_EQ(tool({"disc", "missing.bin"}).status, 1);
}

TEST_F(IndexInImage, PatchWritesTheIndexBackIntoItsExtent) {
  ASSERT_EQ(tool({"extract", "-q", "-C", "apart", "disc.img", "disc.idx"}).status, 0);
  auto expected = snapshotTree(dir / "apart");
  expected["a.txt"] = "ALPHA, edited\n";
  std::filesystem::create_directories(dir / "changes");
  testing::writeBytes(dir / "changes/a.txt", bytesOf(expected["a.txt"]));
  const std::string index = "/Data/Index.idx";
  for (const std::string image : {"disc.iso", "disc.bin"}) {
    SCOPED_TRACE(image);
    const std::string copy = "new-" + image, inPlace = "in-place-" + image;
    std::filesystem::copy_file(dir / image, dir / inPlace);
    const ProgramResult written =
        tool({"patch", image, "--index-in-image", index, "changes", "-o", copy});
    EXPECT_EQ(written.status, 0) << written.err;
    const ProgramResult patched =
        tool({"patch", inPlace, "--index-in-image", index, "changes", "--in-place"});
    EXPECT_EQ(patched.status, 0) << patched.err;
    for (const std::string& result : {copy, inPlace}) {
      const std::string out = "from-" + result;
      const ProgramResult run =
          tool({"extract", "-q", "-C", out, result, "--index-in-image", index});
      EXPECT_EQ(run.status, 0) << result << run.err;
      EXPECT_EQ(snapshotTree(dir / out), expected) << result;
      if (image != "disc.bin") continue;
      const ProgramResult sectors = tool({"disc", result});
      EXPECT_NE(sectors.out.find("bad sectors: 0\n"), std::string::npos) << sectors.out;
    }
  }

  // An entry whose stored bytes are the index's own: its edit would write there.
  std::vector<uint8_t> iso = testing::readBytes(dir / "disc.iso");
  const uint64_t indexAt = std::stoull(sectorOf(index)) * SECTOR_SIZE;
  const std::string alpha = "alpha\n";
  uint64_t alphaAt = 0;
  while (alphaAt < iso.size() && !std::equal(alpha.begin(), alpha.end(), iso.begin() + alphaAt))
    alphaAt += SECTOR_SIZE;
  ASSERT_LT(alphaAt, iso.size());
  for (uint64_t at = indexAt; at < indexAt + 48; at += INDEX_ENTRY_SIZE) {
    IndexEntry entry = decodeIndexEntry(iso.data() + at);
    if (entry.hash != hashName("a.txt")) continue;
    entry.sector += static_cast<uint32_t>((indexAt - alphaAt) / SECTOR_SIZE);
    encodeIndexEntry(entry, iso.data() + at);
  }
  testing::writeBytes(dir / "overlap.iso", iso);
  const ProgramResult refused =
      tool({"patch", "overlap.iso", "--index-in-image", index, "changes", "-o", "refused.iso"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("a.txt: entry 1: its new bytes would go into sectors "),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "refused.iso"));
}

}  // namespace
}  // namespace orvex
