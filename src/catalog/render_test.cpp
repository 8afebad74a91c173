#include <gtest/gtest.h>

#include <sstream>

#include "catalog.h"

namespace orvex {
namespace {

struct QuoteCase {
  std::string bytes;
  std::string json;
};

class JsonQuoted : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(JsonQuoted, EscapesEveryByteThatNeedsIt) {
  EXPECT_EQ(jsonQuoted(GetParam().bytes), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(Bytes, JsonQuoted,
                         ::testing::Values(QuoteCase{"", "\"\""},
                                           QuoteCase{"a/b.txt", "\"a/b.txt\""},
                                           QuoteCase{"say \"hi\"", "\"say \\\"hi\\\"\""},
                                           QuoteCase{"a\\b", "\"a\\\\b\""},
                                           QuoteCase{"l1\nl2\t\r", "\"l1\\nl2\\t\\r\""},
                                           QuoteCase{std::string("a\0b", 3), "\"a\\u0000b\""},
                                           QuoteCase{"\x01\x1F\x7F", "\"\\u0001\\u001F\\u007F\""},
                                           QuoteCase{"caf\xC3\xA9", "\"caf\\u00C3\\u00A9\""},
                                           QuoteCase{"\xFF/", "\"\\u00FF/\""}));

Inventory smallInventory() {
  Inventory inv;
  EntryRow menu;
  menu.position = 0;
  menu.entry = {0xABCD, 0, 1, 96};
  menu.names = {"menu.ard"};
  EntryRow packed;
  packed.position = 1;
  packed.entry = {0xDEADBEEF, FLAG_COMPRESSED, 12, 1234};
  packed.decodedSize = 30000;
  packed.names = {"a\nb", "x\x7Fy"};
  EntryRow lost;
  lost.position = 2;
  lost.entry = {1, 0, 0, 5};
  lost.state = EntryState::kNeverFound;
  lost.problem = "never found (sector 0)";
  inv.rows = {menu, packed, lost};
  inv.totals[static_cast<int>(EntryState::kOk)] = {2, 1330};
  inv.totals[static_cast<int>(EntryState::kNeverFound)] = {1, 5};
  return inv;
}

TEST(InventoryTable, AlignsColumnsAndKeepsControlBytesOffTheTerminal) {
  std::ostringstream out;
  writeInventoryTable(smallInventory(), out);
  EXPECT_EQ(out.str(),
            "#  hash        sector     size  kind         decoded  state        names\n"
            "0  0x0000ABCD       1     96 B  stored             -  ok           menu.ard\n"
            "1  0xDEADBEEF      12  1.2 KiB  compressed  29.3 KiB  ok           a?b, x?y\n"
            "2  0x00000001       0      5 B  stored             -  never-found  -\n"
            "\n"
            "state           entries           stored\n"
            "never-found           1              5 B\n"
            "shadowed              0              0 B\n"
            "past-end              0              0 B\n"
            "damaged               0              0 B\n"
            "unnamed               0              0 B\n"
            "ok                    2          1.3 KiB\n"
            "total                 3          1.3 KiB\n");
}

}  // namespace
}  // namespace orvex
