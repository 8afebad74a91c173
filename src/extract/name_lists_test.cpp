#include <gtest/gtest.h>

#include <cstring>

#include "coding.h"
#include "extract.h"

namespace orvex {
namespace {

std::vector<uint8_t> listBytes(uint32_t start, uint32_t end, size_t length) {
  std::vector<uint8_t> bytes(length, 0);
  encodeFixed32(&bytes[24], start);
  encodeFixed32(&bytes[28], end);
  return bytes;
}

std::vector<std::string> parse(const std::vector<uint8_t>& bytes, std::string* warning) {
  std::vector<std::string_view> views;
  EXPECT_TRUE(parseNameList(bytes.data(), bytes.size(), &views, warning));
  return {views.begin(), views.end()};
}

TEST(ParseNameList, ReadsSlotsBetweenStartAndEnd) {
  auto bytes = listBytes(32, 96, 96);
  std::memcpy(&bytes[32], "first", 5);
  std::memcpy(&bytes[64], "second/name", 11);
  std::string warning;
  EXPECT_EQ(parse(bytes, &warning), (std::vector<std::string>{"first", "second/name"}));
  EXPECT_EQ(warning, "");
}

TEST(ParseNameList, SlotRangeEdges) {
  struct {
    uint32_t start, end;
    size_t length;
    size_t slots;
    bool warns;
  } cases[] = {
      {32, 32, 64, 0, false},           // empty range
      {64, 32, 96, 0, false},           // end below start
      {32, 48, 64, 1, false},           // end mid-slot: the slot at start still counts
      {32, 1000, 96, 2, true},          // end past the file: only slots inside it
      {0xFFFFFFF0, 0xFFFFFFFF, 64, 0, true},  // start far beyond the file
      {0, 64, 64, 2, false},            // slots may overlap the header
  };
  for (const auto& c : cases) {
    std::string warning;
    EXPECT_EQ(parse(listBytes(c.start, c.end, c.length), &warning).size(), c.slots)
        << c.start << ".." << c.end;
    EXPECT_EQ(!warning.empty(), c.warns) << c.start << ".." << c.end;
  }
}

TEST(ParseNameList, NamesEndAtNulSlotEndOrFileEnd) {
  auto bytes = listBytes(32, 200, 32 + 32 + 10);
  std::memset(&bytes[32], 'x', 32);  // a full slot with no NUL
  std::memset(&bytes[64], 'y', 10);  // cut short by the end of the file
  std::string warning;
  EXPECT_EQ(parse(bytes, &warning),
            (std::vector<std::string>{std::string(32, 'x'), std::string(10, 'y')}));
}

TEST(ParseNameList, ShortListIsRefused) {
  const std::vector<uint8_t> bytes(31, 0);
  std::vector<std::string_view> names;
  std::string warning;
  EXPECT_FALSE(parseNameList(bytes.data(), bytes.size(), &names, &warning));
  EXPECT_FALSE(warning.empty());
}

}  // namespace
}  // namespace orvex
