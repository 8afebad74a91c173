#include <gtest/gtest.h>

#include "store.h"

namespace orvex {
namespace {

using Bytes = std::vector<uint8_t>;

struct DecodeCase {
  const char* what;
  Bytes stream;
  Bytes expected;
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, DecodesInPlace) {
  Bytes buf = GetParam().stream;
  size_t length = 99;
  std::string why;
  ASSERT_TRUE(decompress(buf, buf.size(), &length, &why)) << why;
  EXPECT_EQ(length, GetParam().expected.size());
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + length), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DecodeTest,
    ::testing::Values(
        DecodeCase{"repeat abc",
                   {0x03, 0x03, 0x80, 'a', 'b', 'c', 0x00, 0x00, 0x09, 0x80},
                   {'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'}},
        DecodeCase{"run of z", {0x02, 0x01, 0x80, 'z', 0x00, 0x00, 0x06, 0x80}, Bytes(6, 'z')},
        DecodeCase{"escaped marker",
                   {0x02, 0x03, 0x80, 0x00, 0x80, 'x', 'y', 0x00, 0x00, 0x08, 0x80},
                   {'x', 'y', 0x80, 'x', 'y', 0x80, 'x', 'y'}},
        DecodeCase{"distance 1, length byte 0",
                   {0x00, 0x01, 0x80, 'q', 0x00, 0x00, 0x04, 0x80},
                   Bytes(4, 'q')},
        // Tokens below the point where the output is full are never read,
        // not even the marker at byte 0.
        DecodeCase{"surplus tokens", {0x80, 0x00, 0x01, 0x80, 'a', 0x00, 0x00, 0x04, 0x80},
                   Bytes(4, 'a')},
        DecodeCase{"decoded length zero", {'a', 'b', 'c', 0x00, 0x00, 0x00, 0x80}, {}},
        // S < n: the buffer is not shrunk, and each literal below the top is
        // read after the output has overwritten it, as in-place decoding does.
        DecodeCase{"shorter than stored, reads see writes",
                   {'a', 'b', 'c', 'd', 0x00, 0x00, 0x03, 0x80},
                   {'d', 'd', 'd'}},
        DecodeCase{"one body byte, no pass", {'k', 0x00, 0x00, 0x01, 0x80}, {'k'}},
        DecodeCase{"trailer only", {0x00, 0x00, 0x02, 0x55}, {0x00, 0x00}},
        // len and dist bytes are raw: both may equal the marker.
        DecodeCase{"raw len and dist equal to marker",
                   [] {
                     Bytes s = {'r', 'r', 0x80, 0x80, 0x80};
                     s.insert(s.end(), 128, 'r');
                     s.insert(s.end(), {0x00, 0x01, 0x05, 0x80});
                     return s;
                   }(),
                   Bytes(2 + 131 + 128, 'r')}));

struct DamagedCase {
  const char* what;
  Bytes stream;
};

class DamagedTest : public ::testing::TestWithParam<DamagedCase> {};

TEST_P(DamagedTest, IsRefused) {
  Bytes buf = GetParam().stream;
  size_t length = 0;
  std::string why;
  EXPECT_FALSE(decompress(buf, buf.size(), &length, &why)) << GetParam().what;
  EXPECT_FALSE(why.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DamagedTest,
    ::testing::Values(DamagedCase{"empty", {}}, DamagedCase{"three bytes", {0, 0, 1}},
                      DamagedCase{"no tokens, S > n", {'k', 0x00, 0x00, 0x06, 0x80}},
                      DamagedCase{"marker at byte 0", {0x80, 'a', 0x00, 0x00, 0x03, 0x80}},
                      DamagedCase{"match marker at byte 1", {0x01, 0x80, 0x00, 0x00, 0x05, 0x80}},
                      DamagedCase{"match source beyond S", {0x00, 0x02, 0x80, 'a', 0x00, 0x00, 0x04, 0x80}},
                      DamagedCase{"first match reads above S", {0x00, 0x01, 0x80, 0x00, 0x00, 0x03, 0x80}},
                      DamagedCase{"output not filled", {'a', 'b', 0x00, 0x00, 0x09, 0x80}},
                      DamagedCase{"huge S, few tokens", {'a', 'b', 0xFF, 0xFF, 0xFF, 0x80}}));

}  // namespace
}  // namespace orvex
