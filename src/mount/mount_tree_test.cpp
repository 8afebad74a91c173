#include "mount_tree.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "console.h"
#include "disc_builder.h"
#include "disc_content.h"
#include "extract.h"
#include "program.h"

namespace orvex {
namespace {

using testing::bytesOf;
using testing::TempDir;

// Every file of the tree with its bytes, or "<EIO>" when it cannot be read;
// "<dir>" for folders.
std::map<std::string, std::string> contentsOf(const Store& store, const MountTree& tree) {
  std::map<std::string, std::string> contents;
  for (uint32_t i = 1; i < tree.size(); ++i) {
    const MountNode& node = tree.node(i);
    if (node.kind == MountNode::Kind::kFolder) {
      contents[tree.pathOf(i)] = "<dir>";
      continue;
    }
    std::vector<uint8_t> bytes(node.size);
    size_t got = 0;
    const Status read = readMountFile(
        store, tree, i, 0, bytes.data(), bytes.size(),
        [&](uint32_t whole, std::shared_ptr<const std::vector<uint8_t>>* decoded) {
          auto out = std::make_shared<std::vector<uint8_t>>();
          const Status s =
              readLocated(store, locateEntry(store, tree.node(whole).position), out.get());
          *decoded = out;
          return s;
        },
        &got);
    bytes.resize(got);
    contents[tree.pathOf(i)] = read.isOk() ? testing::textOf(bytes) : "<EIO>";
    if (read.isOk()) {
      EXPECT_EQ(bytes.size(), node.size) << tree.pathOf(i);
    }
  }
  return contents;
}

TEST(MountTree, ShowsWhatExtractionWritesIntoAnEmptyFolderAndTheUnnamedEntries) {
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"a/b/c.txt", "a/stored.bin", "eventsTable",
                                             "ev/one.evt", "bad.z", "a//b/c.txt", "x", "x/y"}));
  disc.addCompressedStream("a/b/c.txt", testing::compressed(testing::textLike(5000, 1)));
  disc.addStored("a/stored.bin", testing::noise(3000, 2));
  disc.addStored("eventsTable", testing::eventsTable({"ev/one.evt", "ev/one.evt"}));
  disc.addStored("ev/one.evt", testing::eventFile(3, {20, 30, 45}, 60));
  disc.addCompressedStream("bad.z", {'a', 'b', 0x00, 0x00, 0x09, 0x80});
  disc.addStored("x", bytesOf("a file where a folder is wanted"));
  disc.addStored("x/y", bytesOf("never written"));
  disc.addStored("hidden", bytesOf("no name reaches it"));
  disc.addStored("a/stored.bin", bytesOf("shadowed"));
  const DiscBytes bytes = buildDisc(disc);
  TempDir dir;
  testing::writeBytes(dir / "disc.img", bytes.image);
  testing::writeBytes(dir / "disc.idx", bytes.index);
  Store store;
  Problems oddities;
  ASSERT_TRUE(
      openStore(dir / "disc.img", dir / "disc.idx", &store, &oddities, nullptr, io::realFs())
          .isOk());

  std::unique_ptr<OutputDir> out;
  ASSERT_TRUE(OutputDir::open(dir / "out", true, &out, io::realFs()).isOk());
  std::FILE* shown = std::tmpfile();
  {
    Console console(shown, shown, "orvex-tool: extract");
    ExtractOptions options;
    options.dumpingLines = false;
    extractAll(store, *out, console, options);
  }
  std::fclose(shown);
  std::map<std::string, std::string> expected = testing::snapshotTree(dir / "out");
  // Damaged streams show, and fail when read.
  expected["bad.z"] = "<EIO>";
  expected["_unnamed"] = "<dir>";
  char hidden[16], shadowed[16];
  std::snprintf(hidden, sizeof hidden, "%08X.bin", hashName("hidden"));
  std::snprintf(shadowed, sizeof shadowed, "%08X-1.bin", hashName("a/stored.bin"));
  expected[std::string("_unnamed/") + hidden] = "no name reaches it";
  expected[std::string("_unnamed/") + shadowed] = "shadowed";

  Problems warnings;
  const MountTree tree = MountTree::build(store, MountOptions{}, &warnings);
  EXPECT_EQ(contentsOf(store, tree), expected);
  EXPECT_EQ(tree.find("/a/b/c.txt"), tree.find("a/b/c.txt"));
  EXPECT_FALSE(tree.find("x/y").has_value());

  MountOptions named;
  named.unnamed = false;
  EXPECT_FALSE(MountTree::build(store, named, &warnings).find(UNNAMED_FOLDER).has_value());
}

}  // namespace
}  // namespace orvex
