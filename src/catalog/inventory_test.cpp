#include "test_disc.h"

namespace orvex {
namespace {

using testing::bytesOf;

struct Expected {
  EntryState state;
  std::optional<uint64_t> decoded;
  std::vector<std::string> names;
  bool problem;
};

TEST(Inventory, StatesInTheOrderTheyAreDecided) {
  const std::string text(3000, 'q');
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"text", "z.bin", "bad.z", "short.z", "past.end",
                                             "past.z", "dup", "late", "zero"}));
  disc.addStored("text", bytesOf("hello"));
  disc.addCompressedStream("z.bin", compressed(text));
  disc.addCompressedStream("bad.z", {'a', 'b', 0x00, 0x00, 0x09, 0x80});  // output not filled
  disc.addCompressedStream("short.z", {1, 2, 3});                         // no room for a trailer
  disc.addStored("past.end", bytesOf("xx")).size = 1u << 30;
  disc.addCompressedStream("past.z", compressed("abc")).sector = 1u << 20;
  disc.addStored("dup", bytesOf("first"));
  disc.addStored("dup", bytesOf("second"));
  disc.addStored("late", bytesOf("never")).sector = 0;  // shadows nothing
  disc.addStored("late", bytesOf("late"));
  disc.addCompressedStream("zero", compressed(text)).sector = 0;
  disc.addStored("hidden", bytesOf("hidden"));
  disc.addCompressedStream("hidden", compressed(text));
  disc.addStored("dup", bytesOf("third")).sector = 0;                   // never found comes first
  disc.addCompressedStream("dup", {'a', 'b', 0x00, 0x00, 0x09, 0x80});  // shadowed comes first
  disc.addCompressedStream("past.end", compressed(text));  // a past-end entry still wins
  const TestDisc t(disc);
  const Inventory inv = t.inventory();

  using S = EntryState;
  const Expected expected[] = {
      {S::kOk, {}, {"menu.ard"}, false},
      {S::kOk, {}, {"text"}, false},
      {S::kOk, text.size(), {"z.bin"}, false},
      {S::kDamaged, 9, {"bad.z"}, true},
      {S::kDamaged, {}, {"short.z"}, true},
      {S::kPastEnd, {}, {"past.end"}, true},
      {S::kPastEnd, {}, {"past.z"}, true},
      {S::kOk, {}, {"dup"}, false},
      {S::kShadowed, {}, {}, false},
      {S::kNeverFound, {}, {}, true},
      {S::kOk, {}, {"late"}, false},
      {S::kNeverFound, {}, {}, true},
      {S::kUnnamed, {}, {}, false},
      {S::kShadowed, text.size(), {}, false},
      {S::kNeverFound, {}, {}, true},
      {S::kShadowed, 9, {}, true},
      {S::kShadowed, text.size(), {}, false},
  };
  ASSERT_EQ(inv.rows.size(), std::size(expected));
  uint64_t entries[ENTRY_STATE_COUNT] = {}, bytes[ENTRY_STATE_COUNT] = {};
  for (size_t i = 0; i < inv.rows.size(); ++i) {
    const EntryRow& row = inv.rows[i];
    EXPECT_EQ(row.position, i);
    EXPECT_EQ(std::string(stateName(row.state)), stateName(expected[i].state)) << i;
    EXPECT_EQ(row.decodedSize, expected[i].decoded) << i;
    EXPECT_EQ(row.names, expected[i].names) << i;
    EXPECT_EQ(!row.problem.empty(), expected[i].problem) << i << ": " << row.problem;
    EXPECT_EQ(row.entry.hash, disc.files[i].hash) << i;
    ++entries[static_cast<int>(expected[i].state)];
    bytes[static_cast<int>(expected[i].state)] +=
        disc.files[i].size.value_or(static_cast<uint32_t>(disc.files[i].stored.size()));
  }
  for (int s = 0; s < ENTRY_STATE_COUNT; ++s) {
    EXPECT_EQ(inv.totals[s].entries, entries[s]) << stateName(static_cast<EntryState>(s));
    EXPECT_EQ(inv.totals[s].storedBytes, bytes[s]) << stateName(static_cast<EntryState>(s));
  }
}

TEST(Inventory, PastEndCountsFromTheBaseSector) {
  // A disc without its marker: sectors count from 0xFFFFFFFF, so sector N is
  // byte (N - 1) * 2048. The image is five sectors long.
  DiscBuilder disc;
  disc.bootMarker = false;
  disc.baseSector = 0;
  disc.addStored("menu.ard", encodeNameList({"last", "off", "edge"})).sector = 2;
  disc.addStored("last", std::vector<uint8_t>(SECTOR_SIZE, 'f')).sector = 5;  // ends at the end
  disc.addStored("off", bytesOf("o")).sector = 6;  // one byte past the end
  disc.addStored("edge", {}).sector = 6;           // nothing past the end
  const TestDisc t(disc);
  ASSERT_EQ(t.store.image.size, 5u * SECTOR_SIZE);
  const Inventory inv = t.inventory();
  ASSERT_EQ(inv.rows.size(), 4u);
  EXPECT_EQ(inv.rows[0].state, EntryState::kOk);
  EXPECT_EQ(inv.rows[1].state, EntryState::kOk);
  EXPECT_EQ(inv.rows[2].state, EntryState::kPastEnd);
  EXPECT_EQ(inv.rows[3].state, EntryState::kOk);
}

TEST(Inventory, EmptyIndex) {
  const TestDisc t(DiscBuilder{});
  const Inventory inv = t.inventory();
  EXPECT_TRUE(inv.rows.empty());
  for (const StateTotal& total : inv.totals) EXPECT_EQ(total.entries, 0u);
}

}  // namespace
}  // namespace orvex
