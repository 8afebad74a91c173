#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>

#include "test_disc.h"

namespace orvex {
namespace {

using testing::bytesOf;
using testing::snapshotTree;
using Tree = std::map<std::string, std::string>;

std::string hex(std::string_view name, const char* suffix = "") {
  char text[32];
  std::snprintf(text, sizeof text, "%08X%s.bin", hashName(name), suffix);
  return text;
}

long lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

TEST(UnnamedFileName, HashThenTheCountOfEarlierEntries) {
  EXPECT_EQ(unnamedFileName(0xABCDEF, 0), "00ABCDEF.bin");
  EXPECT_EQ(unnamedFileName(0xFFFFFFFF, 1), "FFFFFFFF-1.bin");
  EXPECT_EQ(unnamedFileName(0, 12), "00000000-12.bin");
}

class WriteUnnamed : public ::testing::Test {
 protected:
  WriteUnnamed() {
    DiscBuilder disc;
    disc.addStored("menu.ard", encodeNameList({"named", "bad.z"}));
    disc.addStored("named", bytesOf("named"));
    disc.addStored("big", std::vector<uint8_t>(5000, 'B'));
    disc.addCompressedStream("packed", compressed(packedText));
    disc.addStored("named", bytesOf("shadowed"));
    disc.addCompressedStream("big", compressed("second big"));
    disc.addCompressedStream("bad.z", {'a', 'b', 0x00, 0x00, 0x09, 0x80});
    disc.addCompressedStream("lost.z", {'a', 'b', 0x00, 0x00, 0x09, 0x80});
    disc.addCompressedStream("named", {'a', 'b', 0x00, 0x00, 0x09, 0x80});  // shadowed, damaged
    disc.addStored("past", bytesOf("p")).size = 1u << 30;
    disc.addStored("zero", bytesOf("z")).sector = 0;
    disc.addStored("named", bytesOf("third"));
    t = std::make_unique<TestDisc>(disc);
    inventory = t->inventory();
  }

  UnnamedStats run(const std::string& outDir) {
    out.str("");
    err.str("");
    return writeUnnamed(t->store, inventory, outDir, out, err);
  }

  const std::string packedText = std::string(4000, 'p').append("end");
  std::unique_ptr<TestDisc> t;
  Inventory inventory;
  std::ostringstream out, err;
};

TEST_F(WriteUnnamed, WritesExactlyTheEntriesNoNameReachesDecoded) {
  const std::string dir = t->dir / "a/b/out";  // missing directories are created
  const UnnamedStats stats = run(dir);
  const Tree expected = {
      {hex("big"), std::string(5000, 'B')}, {hex("packed"), packedText},
      {hex("named", "-1"), "shadowed"},     {hex("big", "-1"), "second big"},
      {hex("named", "-3"), "third"},
  };
  EXPECT_EQ(snapshotTree(dir), expected);
  EXPECT_EQ(stats.written, 5u);
  EXPECT_EQ(stats.bytes, 5000u + packedText.size() + 8 + 10 + 5);
  EXPECT_EQ(stats.failed, 0u);
  // bad.z (named but damaged), lost.z, the damaged shadowed entry, past, zero.
  EXPECT_EQ(stats.skipped, 5u);
  EXPECT_EQ(lines(out.str()), 5);
  EXPECT_EQ(lines(err.str()), 5);
  for (const char* entry : {"entry 6 ", "entry 7 ", "entry 8 ", "entry 9 ", "entry 10 "})
    EXPECT_NE(err.str().find(entry), std::string::npos) << entry << "\n" << err.str();
}

TEST_F(WriteUnnamed, NeverReplacesAFileAlreadyThere) {
  const std::string dir = t->dir / "out";
  testing::writeText(dir + "/" + hex("packed"), "mine");
  UnnamedStats stats = run(dir);
  EXPECT_EQ(stats.written, 4u);
  EXPECT_EQ(stats.failed, 1u);
  EXPECT_NE(err.str().find(hex("packed") + ": already exists"), std::string::npos) << err.str();
  Tree first = snapshotTree(dir);
  EXPECT_EQ(first.at(hex("packed")), "mine");

  // Files that hold their entry's bytes count as present; only the user's differs.
  stats = run(dir);
  EXPECT_EQ(stats.written, 0u);
  EXPECT_EQ(stats.present, 4u);
  EXPECT_EQ(stats.failed, 1u);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(snapshotTree(dir), first);
}

TEST_F(WriteUnnamed, AnOutputDirectoryThatCannotBeMadeFails) {
  testing::writeText(t->dir / "file", "in the way");
  const UnnamedStats stats = run(t->dir / "file/out");
  EXPECT_EQ(stats.written, 0u);
  EXPECT_EQ(stats.failed, 1u);
  EXPECT_NE(err.str().find("cannot create directory"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace orvex
