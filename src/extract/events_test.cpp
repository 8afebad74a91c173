#include <gtest/gtest.h>

#include "coding.h"
#include "extract.h"

namespace orvex {
namespace {

std::vector<uint8_t> eventBytes(int32_t count, const std::vector<uint32_t>& offsets,
                                size_t length) {
  std::vector<uint8_t> bytes(length, 0);
  encodeFixed32(&bytes[4], static_cast<uint32_t>(count));
  for (size_t i = 0; i < offsets.size(); ++i) encodeFixed32(&bytes[8 + 4 * i], offsets[i]);
  return bytes;
}

TEST(ParseEventPieces, EachPieceEndsWhereTheNextStarts) {
  const auto bytes = eventBytes(3, {20, 30, 45}, 60);
  std::vector<EventPiece> pieces;
  std::string why;
  ASSERT_TRUE(parseEventPieces(bytes.data(), bytes.size(), &pieces, &why));
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].start, 20u);
  EXPECT_EQ(pieces[0].end, 30u);
  EXPECT_EQ(pieces[1].end, 45u);
  EXPECT_EQ(pieces[2].start, 45u);
  EXPECT_EQ(pieces[2].end, 60u);
}

TEST(ParseEventPieces, CountsAndDamage) {
  struct {
    int32_t count;
    size_t length;
    bool ok;
    size_t pieces;
  } cases[] = {
      {0, 8, true, 0},           {-5, 8, true, 0},   {INT32_MIN, 8, true, 0},
      {1, 12, true, 1},          {2, 12, false, 0},  {INT32_MAX, 64, false, 0},
      {1, 7, false, 0},          // too short for the header
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes(c.length, 0);
    if (c.length >= 8) encodeFixed32(&bytes[4], static_cast<uint32_t>(c.count));
    std::vector<EventPiece> pieces;
    std::string why;
    EXPECT_EQ(parseEventPieces(bytes.data(), bytes.size(), &pieces, &why), c.ok) << c.count;
    EXPECT_EQ(pieces.size(), c.pieces) << c.count;
    EXPECT_EQ(why.empty(), c.ok) << c.count;
  }
}

}  // namespace
}  // namespace orvex
