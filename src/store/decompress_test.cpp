#include <gtest/gtest.h>

#include <random>

#include "reference_decoder.h"
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
  ASSERT_TRUE(decompress(buf, buf.size(), &length).isOk());
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
        DecodeCase{
            "surplus tokens", {0x80, 0x00, 0x01, 0x80, 'a', 0x00, 0x00, 0x04, 0x80}, Bytes(4, 'a')},
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
  const Status status = decompress(buf, buf.size(), &length);
  EXPECT_EQ(status.code(), Status::Code::kDamaged) << GetParam().what;
  EXPECT_FALSE(status.message().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DamagedTest,
    ::testing::Values(
        DamagedCase{"empty", {}}, DamagedCase{"three bytes", {0, 0, 1}},
        DamagedCase{"no tokens, S > n", {'k', 0x00, 0x00, 0x06, 0x80}},
        DamagedCase{"marker at byte 0", {0x80, 'a', 0x00, 0x00, 0x03, 0x80}},
        DamagedCase{"match marker at byte 1", {0x01, 0x80, 0x00, 0x00, 0x05, 0x80}},
        DamagedCase{"match source beyond S", {0x00, 0x02, 0x80, 'a', 0x00, 0x00, 0x04, 0x80}},
        DamagedCase{"first match reads above S", {0x00, 0x01, 0x80, 0x00, 0x00, 0x03, 0x80}},
        DamagedCase{"output not filled", {'a', 'b', 0x00, 0x00, 0x09, 0x80}},
        DamagedCase{"huge S, few tokens", {'a', 'b', 0xFF, 0xFF, 0xFF, 0x80}}));

TEST(Decompress, StatedLengthBeyondTheStreamGrowsNoBuffer) {
  Bytes buf = {'a', 'b', 0xFF, 0xFF, 0xFF, 0x80};
  size_t length = 0;
  EXPECT_FALSE(decompress(buf, buf.size(), &length).isOk());
  EXPECT_LT(buf.capacity(), size_t{1} << 16);
}

TEST(Decompress, LongestOutputPerByteIsAccepted) {
  // One literal, then matches of 258 bytes at distance 1: near the most
  // output that a stream of this length can give.
  Bytes stream;
  for (int i = 0; i < 40; ++i) stream.insert(stream.end(), {0xFF, 0x01, 0x80});
  stream.push_back('z');
  const size_t s = 1 + 40 * 258;
  stream.insert(stream.end(), {static_cast<uint8_t>(s >> 16), static_cast<uint8_t>(s >> 8),
                               static_cast<uint8_t>(s), 0x80});
  size_t length = 0;
  ASSERT_TRUE(decompress(stream, stream.size(), &length).isOk());
  EXPECT_EQ(Bytes(stream.begin(), stream.begin() + length), Bytes(s, 'z'));
}

// Random token streams over a small alphabet, so that markers, escapes,
// short and long distances, surplus tokens and damage all occur often.
Bytes randomStream(std::mt19937& rng, int maxTokens) {
  const uint8_t m = static_cast<uint8_t>(rng() % 4);
  // Half the streams draw literals away from the marker, giving long runs.
  const int literalBase = rng() % 2 ? 16 : 0;
  Bytes body;
  size_t produced = 0;
  const int tokens = static_cast<int>(rng() % maxTokens);
  for (int t = 0; t < tokens; ++t) {
    switch (rng() % 4) {
      case 0:
        body.insert(body.end(), {0x00, m});
        produced += 1;
        break;
      case 1: {
        const uint8_t len = static_cast<uint8_t>(rng() % 3 == 0 ? rng() % 256 : rng() % 8);
        const uint8_t dist = static_cast<uint8_t>(1 + (rng() % 2 ? rng() % 4 : rng() % 255));
        body.insert(body.end(), {len, dist, m});
        produced += len + 3;
        break;
      }
      default:
        for (int k = static_cast<int>(rng() % (literalBase ? 40 : 20)); k >= 0; --k) {
          body.push_back(static_cast<uint8_t>(literalBase + rng() % 6));
          ++produced;
        }
    }
  }
  size_t s = produced;
  if (rng() % 4 == 0) s = rng() % (produced + 8);  // surplus, shortfall, S < n
  if (s > 0xFFFFFF) s = 0xFFFFFF;
  body.insert(body.end(), {static_cast<uint8_t>(s >> 16), static_cast<uint8_t>(s >> 8),
                           static_cast<uint8_t>(s), m});
  return body;
}

// Short streams stay near the edges of the buffer; long ones mostly run
// far from them, where the decoder takes its unchecked path, and leave it
// again near byte 0.
struct DifferentialCase {
  const char* what;
  uint32_t seed;
  int streams;
  int maxTokens;
  int minAccepted;  // the mix must exercise the success path
  bool wide;        // whether the AVX2 loop may run, where the processor has it
};

// Sets whether the AVX2 loop may run for as long as it lives.
struct WideDecoder {
  explicit WideDecoder(bool allow) { allowWideDecoder(allow); }
  ~WideDecoder() { allowWideDecoder(true); }
};

class DifferentialTest : public ::testing::TestWithParam<DifferentialCase> {};

TEST_P(DifferentialTest, AgreesWithByteByByteDecoding) {
  const DifferentialCase& c = GetParam();
  const WideDecoder wide(c.wide);
  std::mt19937 rng(c.seed);
  int accepted = 0;
  for (int i = 0; i < c.streams; ++i) {
    const Bytes stream = randomStream(rng, c.maxTokens);
    Bytes expected;
    const bool expectOk = testing::referenceDecode(stream, stream.size(), &expected);
    Bytes buf = stream;
    size_t length = 0;
    const bool ok = decompress(buf, stream.size(), &length).isOk();
    ASSERT_EQ(ok, expectOk) << "case " << i;
    if (!ok) continue;
    ++accepted;
    ASSERT_EQ(Bytes(buf.begin(), buf.begin() + length), expected) << "case " << i;
  }
  EXPECT_GT(accepted, c.minAccepted);
}

INSTANTIATE_TEST_SUITE_P(Streams, DifferentialTest,
                         ::testing::Values(DifferentialCase{"short", 12345, 50000, 60, 10000, true},
                                           DifferentialCase{"long", 54321, 1500, 1500, 300, true},
                                           DifferentialCase{"long, SSE2", 54321, 1500, 1500, 300,
                                                            false}));

}  // namespace
}  // namespace orvex
