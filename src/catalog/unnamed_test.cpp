#include <algorithm>
#include <cstdio>
#include <memory>

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
    files.clear();
    return writeUnnamed(t->store, inventory, outDir, &files);
  }

  // The files written, and the entries not written.
  long written() const {
    return std::count_if(files.begin(), files.end(), [](const UnnamedFile& file) {
      return file.row && file.problem.empty() && !file.present;
    });
  }
  std::vector<const UnnamedFile*> notWritten() const {
    std::vector<const UnnamedFile*> found;
    for (const UnnamedFile& file : files)
      if (!file.problem.empty()) found.push_back(&file);
    return found;
  }

  const std::string packedText = std::string(4000, 'p').append("end");
  std::unique_ptr<TestDisc> t;
  Inventory inventory;
  std::vector<UnnamedFile> files;
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
  EXPECT_EQ(written(), 5);
  std::vector<uint32_t> skipped;
  for (const UnnamedFile* file : notWritten())
    if (file->row && file->path.empty()) skipped.push_back(file->row->position);
  EXPECT_EQ(notWritten().size(), 5u);
  EXPECT_EQ(skipped, (std::vector<uint32_t>{6, 7, 8, 9, 10}));
}

TEST_F(WriteUnnamed, NeverReplacesAFileAlreadyThere) {
  const std::string dir = t->dir / "out";
  testing::writeText(dir + "/" + hex("packed"), "mine");
  UnnamedStats stats = run(dir);
  EXPECT_EQ(stats.written, 4u);
  EXPECT_EQ(stats.failed, 1u);
  const auto mine = std::find_if(files.begin(), files.end(), [&](const UnnamedFile& file) {
    return file.path == dir + "/" + hex("packed");
  });
  ASSERT_NE(mine, files.end());
  EXPECT_EQ(mine->problem, "already exists");
  Tree first = snapshotTree(dir);
  EXPECT_EQ(first.at(hex("packed")), "mine");

  // Files that hold their entry's bytes count as present; only the user's differs.
  stats = run(dir);
  EXPECT_EQ(stats.written, 0u);
  EXPECT_EQ(stats.present, 4u);
  EXPECT_EQ(stats.failed, 1u);
  EXPECT_EQ(written(), 0);
  EXPECT_EQ(snapshotTree(dir), first);
}

TEST_F(WriteUnnamed, AnOutputDirectoryThatCannotBeMadeFails) {
  testing::writeText(t->dir / "file", "in the way");
  const UnnamedStats stats = run(t->dir / "file/out");
  EXPECT_EQ(stats.written, 0u);
  EXPECT_EQ(stats.failed, 1u);
  ASSERT_EQ(notWritten().size(), 1u);
  EXPECT_NE(notWritten()[0]->problem.find("cannot create directory"), std::string::npos)
      << notWritten()[0]->problem;
}

}  // namespace
}  // namespace orvex
