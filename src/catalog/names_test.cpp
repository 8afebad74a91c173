#include <cstring>
#include <filesystem>

#include "test_disc.h"

namespace orvex {
namespace {

using testing::bytesOf;
using Names = std::vector<std::string>;

std::vector<uint8_t> eventsTable(const Names& names) { return encodeEventsTable(names); }

// The names learned for each index entry, in index order.
std::vector<Names> learned(const TestDisc& disc) { return disc.learn().names; }

TEST(LearnNames, ListsInRunOrderWithCollidingListNames) {
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"a", "b", "a", "po32.ard"}));
  // Never read as lists under their own names, but pi32.ard and pi07.ard
  // share their hashes and read them.
  disc.addStored("po07.ard", encodeNameList({"from-po07"}));
  disc.addStored("po32.ard", encodeNameList({"from-po32"}));
  disc.addStored("al05.ard", encodeNameList({"b", "c"}));
  for (const char* n : {"a", "b", "c", "from-po07", "from-po32", "unlisted"})
    disc.addStored(n, bytesOf(n));
  const TestDisc t(disc);
  const std::vector<Names> expected = {{"menu.ard"},
                                       {"pi32.ard"},
                                       {"po32.ard", "pi07.ard"},
                                       {"al05.ard"},
                                       {"a"},
                                       {"b"},
                                       {"c"},
                                       {"from-po07"},
                                       {"from-po32"},
                                       {}};
  EXPECT_EQ(learned(t), expected);
}

TEST(LearnNames, NamesARunWouldRefuseReachNothing) {
  DiscBuilder disc;
  const Names refused = {"", "../up", "/abs", "a/../b", ".."};
  Names listed = refused;
  listed.insert(listed.end(), {"ok", "a/..b", "./ok"});
  disc.addStored("menu.ard", encodeNameList(listed));
  for (const std::string& n : refused) disc.addStored(n, bytesOf("x"));
  for (const char* n : {"ok", "a/..b", "./ok"}) disc.addStored(n, bytesOf("x"));
  const TestDisc t(disc);
  const std::vector<Names> expected = {{"menu.ard"}, {},     {},        {},      {},
                                       {},           {"ok"}, {"a/..b"}, {"./ok"}};
  EXPECT_EQ(learned(t), expected);
}

TEST(LearnNames, UnreadableListsAreReachedButNotRead) {
  DiscBuilder disc;
  disc.addCompressedStream("al00.ard", {0x80, 'a', 0x00, 0x00, 0x03, 0x80});  // damaged
  disc.addStored("al01.ard", bytesOf("short"));  // no room for the header
  disc.addStored("al02.ard", encodeNameList({"past"})).size = 1u << 30;
  disc.addStored("past", bytesOf("p"));
  const TestDisc t(disc);
  const std::vector<Names> expected = {{"al00.ard"}, {"al01.ard"}, {"al02.ard"}, {}};
  EXPECT_EQ(learned(t), expected);
}

TEST(LearnNames, EventTableInTheWorkingDirectory) {
  DiscBuilder disc;
  const std::string full(256, 'e');  // fills its record, no NUL
  for (const std::string& n :
       {std::string("ev/a.evt"), std::string("ev/b.evt"), full, std::string("../out.evt")})
    disc.addStored(n, bytesOf("x"));
  const TestDisc t(disc);
  testing::writeBytes(t.eventsTable(),
                      eventsTable({"ev/a.evt", "", "../out.evt", "ev/a.evt", "ev/b.evt", full}));
  const NameReach reach = t.learn();
  const std::vector<Names> expected = {{"ev/a.evt"}, {"ev/b.evt"}, {full}, {}};
  EXPECT_EQ(reach.names, expected);
  EXPECT_TRUE(reach.notes.empty());
}

struct StoreTableCase {
  const char* what;
  bool localTable;
  Names listed;  // menu.ard's slots
  Names reached;
};

class EventTableFromStore : public ::testing::TestWithParam<StoreTableCase> {};

// A run with no event table of its own uses the one that its list pass writes:
// the first listed path to ./eventsTable whose entry reads.
TEST_P(EventTableFromStore, UsesTheCopyTheListPassWrites) {
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList(GetParam().listed));
  disc.addCompressedStream("eventsTable", {1, 2, 3});  // damaged
  disc.addStored("./eventsTable", eventsTable({"dot.evt"}));
  disc.addStored(".//./eventsTable", eventsTable({"slashes.evt"}));
  disc.addStored("eventsTable/", eventsTable({"dir.evt"}));
  disc.addStored("sub/eventsTable", eventsTable({"sub.evt"}));
  for (const char* n : {"dot.evt", "slashes.evt", "dir.evt", "sub.evt", "local.evt"})
    disc.addStored(n, bytesOf(n));
  const TestDisc t(disc);
  if (GetParam().localTable) testing::writeBytes(t.eventsTable(), eventsTable({"local.evt"}));
  const NameReach reach = t.learn();
  Names reached;
  for (size_t i = 6; i < reach.names.size(); ++i)
    reached.insert(reached.end(), reach.names[i].begin(), reach.names[i].end());
  EXPECT_EQ(reached, GetParam().reached) << GetParam().what;
  const bool fromStore = !GetParam().localTable && !reached.empty();
  EXPECT_EQ(reach.notes.size(), fromStore ? 1u : 0u) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EventTableFromStore,
    ::testing::Values(
        StoreTableCase{
            "damaged first, then ./", false, {"eventsTable", "./eventsTable"}, {"dot.evt"}},
        StoreTableCase{"doubled slashes and dots",
                       false,
                       {".//./eventsTable", "./eventsTable"},
                       {"slashes.evt"}},
        StoreTableCase{
            "not the working directory's", false, {"eventsTable/", "sub/eventsTable"}, {}},
        StoreTableCase{"a local table wins", true, {"./eventsTable"}, {"local.evt"}},
        StoreTableCase{"none anywhere", false, {}, {}}));

TEST(LearnNames, EventTableThatIsNotAFileGivesANote) {
  DiscBuilder disc;
  disc.addStored("ev.evt", bytesOf("x"));
  const TestDisc t(disc);
  std::filesystem::create_directory(t.eventsTable());
  const NameReach reach = t.learn();
  EXPECT_EQ(reach.names, (std::vector<Names>{{}}));
  ASSERT_EQ(reach.notes.size(), 1u);
  EXPECT_NE(reach.notes.lines()[0].find("not a regular file"), std::string::npos);
}

}  // namespace
}  // namespace orvex
