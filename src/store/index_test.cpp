#include <gtest/gtest.h>

#include "store.h"

namespace orvex {
namespace {

std::vector<uint8_t> records(const std::vector<IndexEntry>& entries) {
  return encodeIndex(entries);
}

int64_t positionOf(const FileIndex& index, std::string_view name) {
  const IndexEntry* e = findEntry(index, name);
  return e ? e - index.entries().data() : -1;
}

TEST(ParseIndex, IgnoresTrailingPartialRecord) {
  auto bytes = records({{0x11223344, 1, 7, 99}});
  bytes.resize(20, 0xAB);
  const FileIndex index = parseIndex(bytes.data(), bytes.size());
  ASSERT_EQ(index.entries().size(), 1u);
  EXPECT_EQ(index.entries()[0].hash, 0x11223344u);
  EXPECT_EQ(index.entries()[0].flags, 1u);
  EXPECT_EQ(index.entries()[0].sector, 7u);
  EXPECT_EQ(index.entries()[0].size, 99u);
  EXPECT_TRUE(parseIndex(bytes.data(), 15).entries().empty());
}

TEST(FindEntry, FollowsFirstQualifyingEntryInFileOrder) {
  const uint32_t a = hashName("a"), b = hashName("b");
  const auto bytes = records({
      {a, 0, 0, 1},   // sector 0: never found
      {b, 0, 3, 1},   // first b wins
      {a, 0, 5, 1},   // first a with a sector
      {b, 0, 9, 1},   // shadowed
      {a, 0, 11, 1},  // shadowed
      {0, 0, 0, 1},   // hash 0 but sector 0
      {0, 0, 13, 1},  // what the empty name finds
  });
  const FileIndex index = parseIndex(bytes.data(), bytes.size());
  EXPECT_EQ(positionOf(index, "a"), 2);
  EXPECT_EQ(positionOf(index, "b"), 1);
  EXPECT_EQ(positionOf(index, ""), 6);
  EXPECT_EQ(positionOf(index, "c"), -1);
}

TEST(FindEntry, EmptyIndexFindsNothing) {
  EXPECT_EQ(findEntry(FileIndex(), "a"), nullptr);
  EXPECT_EQ(findEntry(parseIndex(nullptr, 0), ""), nullptr);
}

TEST(FindEntry, AgreesWithLinearScanOnCrowdedTable) {
  // Many entries whose hashes collide in the low bits, with repeats and
  // sector-0 entries sprinkled in, checked against a plain scan.
  std::vector<IndexEntry> entries;
  for (uint32_t i = 0; i < 5000; ++i)
    entries.push_back({(i % 1700) << 20 | (i % 3), i, (i % 7 == 0) ? 0u : i, i});
  const auto bytes = records(entries);
  const FileIndex index = parseIndex(bytes.data(), bytes.size());
  for (uint32_t probe = 0; probe < 1800; ++probe) {
    for (uint32_t low = 0; low < 4; ++low) {
      const uint32_t h = probe << 20 | low;
      int64_t expected = -1;
      for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].hash == h && entries[i].sector != 0) {
          expected = static_cast<int64_t>(i);
          break;
        }
      ASSERT_EQ(index.findPosition(h), expected) << std::hex << h;
    }
  }
}

}  // namespace
}  // namespace orvex
