#include "format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace orvex {
namespace {

// A list's header with the slot range start..end, padded with zeros to length.
std::vector<uint8_t> listBytes(uint32_t start, uint32_t end, size_t length) {
  std::vector<uint8_t> bytes = encodeNameListHeader(start, end);
  bytes.resize(length, 0);
  return bytes;
}

std::vector<std::string> parse(const std::vector<uint8_t>& bytes, std::string* warning) {
  std::vector<std::string_view> views;
  EXPECT_TRUE(decodeNameList(bytes.data(), bytes.size(), &views, warning).isOk());
  return {views.begin(), views.end()};
}

TEST(DecodeNameList, ReadsSlotsBetweenStartAndEnd) {
  auto bytes = listBytes(32, 96, 96);
  std::memcpy(&bytes[32], "first", 5);
  std::memcpy(&bytes[64], "second/name", 11);
  std::string warning;
  EXPECT_EQ(parse(bytes, &warning), (std::vector<std::string>{"first", "second/name"}));
  EXPECT_EQ(warning, "");
}

TEST(DecodeNameList, SlotRangeEdges) {
  struct {
    uint32_t start, end;
    size_t length;
    size_t slots;
    bool warns;
  } cases[] = {
      {32, 32, 64, 0, false},                 // empty range
      {64, 32, 96, 0, false},                 // end below start
      {32, 48, 64, 1, false},                 // end mid-slot: the slot at start still counts
      {32, 1000, 96, 2, true},                // end past the file: only slots inside it
      {0xFFFFFFF0, 0xFFFFFFFF, 64, 0, true},  // start far beyond the file
      {0, 64, 64, 2, false},                  // slots may overlap the header
  };
  for (const auto& c : cases) {
    std::string warning;
    EXPECT_EQ(parse(listBytes(c.start, c.end, c.length), &warning).size(), c.slots)
        << c.start << ".." << c.end;
    EXPECT_EQ(!warning.empty(), c.warns) << c.start << ".." << c.end;
  }
}

TEST(DecodeNameList, NamesEndAtNulSlotEndOrFileEnd) {
  auto bytes = listBytes(32, 200, 32 + 32 + 10);
  std::memset(&bytes[32], 'x', 32);  // a full slot with no NUL
  std::memset(&bytes[64], 'y', 10);  // cut short by the end of the file
  std::string warning;
  EXPECT_EQ(parse(bytes, &warning),
            (std::vector<std::string>{std::string(32, 'x'), std::string(10, 'y')}));
}

TEST(DecodeNameList, ShortListIsRefused) {
  const std::vector<uint8_t> bytes(31, 0);
  std::vector<std::string_view> names;
  std::string warning;
  EXPECT_EQ(decodeNameList(bytes.data(), bytes.size(), &names, &warning).code(),
            Status::Code::kInvalid);
}

std::vector<uint8_t> eventBytes(int32_t count, const std::vector<uint32_t>& offsets,
                                size_t length) {
  std::vector<uint8_t> bytes = encodeEventHeader(0, count, offsets);
  bytes.resize(length, 0);
  return bytes;
}

TEST(DecodeEventPieces, EachPieceEndsWhereTheNextStarts) {
  const auto bytes = eventBytes(3, {20, 30, 45}, 60);
  std::vector<EventPiece> pieces;
  ASSERT_TRUE(decodeEventPieces(bytes.data(), bytes.size(), &pieces).isOk());
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].start, 20u);
  EXPECT_EQ(pieces[0].end, 30u);
  EXPECT_EQ(pieces[1].end, 45u);
  EXPECT_EQ(pieces[2].start, 45u);
  EXPECT_EQ(pieces[2].end, 60u);
}

TEST(DecodeEventPieces, CountsAndDamage) {
  struct {
    int32_t count;
    size_t length;
    bool ok;
    size_t pieces;
  } cases[] = {
      {0, 8, true, 0},   {-5, 8, true, 0},          {INT32_MIN, 8, true, 0}, {1, 12, true, 1},
      {2, 12, false, 0}, {INT32_MAX, 64, false, 0}, {1, 7, false, 0},  // too short for the header
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = encodeEventHeader(0, c.count, {});
    bytes.resize(c.length, 0);
    std::vector<EventPiece> pieces;
    EXPECT_EQ(decodeEventPieces(bytes.data(), bytes.size(), &pieces).isOk(), c.ok) << c.count;
    EXPECT_EQ(pieces.size(), c.pieces) << c.count;
  }
}

TEST(RewriteEventStarts, KeepsEverythingButTheStarts) {
  const auto original = eventBytes(2, {20, 30}, 40);
  auto bytes = original;
  ASSERT_TRUE(rewriteEventStarts({16, 33}, &bytes).isOk());
  std::vector<EventPiece> pieces;
  ASSERT_TRUE(decodeEventPieces(bytes.data(), bytes.size(), &pieces).isOk());
  EXPECT_EQ(pieces[0].start, 16u);
  EXPECT_EQ(pieces[1].start, 33u);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 8, original.begin()));
  EXPECT_TRUE(std::equal(bytes.begin() + 16, bytes.end(), original.begin() + 16));
  // A count that differs from the starts given, or a table past the end: nothing changes.
  for (auto [starts, length] :
       {std::pair<std::vector<uint32_t>, size_t>{{16}, 40}, {{16, 33}, 12}}) {
    auto other = eventBytes(2, {20, 30}, length);
    const auto kept = other;
    EXPECT_EQ(rewriteEventStarts(starts, &other).code(), Status::Code::kInvalid);
    EXPECT_EQ(other, kept);
  }
}

TEST(FormatRoundTrip, EveryEncoderIsReadBackByItsDecoder) {
  const IndexEntry entry{0x89ABCDEF, 1, 0x01020304, 0xFFFFFFFF};
  const std::vector<uint8_t> index = encodeIndex({entry, {}});
  ASSERT_EQ(index.size(), 2 * INDEX_ENTRY_SIZE);
  const IndexEntry back = decodeIndexEntry(index.data());
  EXPECT_EQ(std::vector<uint32_t>({back.hash, back.flags, back.sector, back.size}),
            std::vector<uint32_t>({entry.hash, entry.flags, entry.sector, entry.size}));

  uint8_t trailer[STREAM_TRAILER_SIZE];
  encodeStreamTrailer({0xABCDEF, 0x80}, trailer);
  EXPECT_EQ(std::vector<uint8_t>(trailer, trailer + 4),
            std::vector<uint8_t>({0xAB, 0xCD, 0xEF, 0x80}));
  EXPECT_EQ(decodeStreamTrailer(trailer).decodedLength, 0xABCDEFu);

  uint8_t sector[8] = {};
  encodeBootMarker(sector);
  EXPECT_TRUE(hasBootMarker(sector, sizeof sector));
  EXPECT_FALSE(hasBootMarker(sector, 4));
  EXPECT_FALSE(hasBootMarker(sector + 1, 5));

  const std::vector<std::string> names = {"a", std::string(31, 'x'), "dir/file.bin"};
  std::string warning;
  EXPECT_EQ(parse(encodeNameList(names), &warning), names);
  const std::vector<uint8_t> table = encodeEventsTable({"ev/a.evt", "", std::string(256, 'n')});
  EXPECT_EQ(
      decodeEventsTable(table.data(), table.size()),
      (std::vector<std::string_view>{
          "ev/a.evt", "", std::string_view(reinterpret_cast<const char*>(&table[512]), 256)}));
  EXPECT_EQ(decodeEventsTable(table.data(), 300).size(), 2u);  // a short final record counts
}

}  // namespace
}  // namespace orvex
