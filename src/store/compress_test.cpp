#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "store.h"

namespace orvex {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t length, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(length);
  for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Words from a small vocabulary with punctuation: repeats at short range,
// like text and tables in game files.
Bytes textLike(size_t length, uint32_t seed) {
  static const char* kWords[] = {"the ", "store ", "index ", "sector ", "name ", "of ",
                                 "and ", "file ",  "event ", "piece ",  ", ",    ".\n"};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < length) {
    const std::string w = kWords[rng() % std::size(kWords)];
    b.insert(b.end(), w.begin(), w.end());
  }
  b.resize(length);
  return b;
}

// Each byte value in a run of ten: every value occurs, yet each run pays for
// its own escape when the marker occurs in the data.
Bytes everyValueInRuns() {
  Bytes b;
  for (int v = 0; v < 256; ++v) b.insert(b.end(), 10, static_cast<uint8_t>(v));
  return b;
}

// Short runs of random bytes mixed with copies from a few bytes back.
Bytes mixed(size_t length, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < length) {
    if (b.size() > 300 && rng() % 2) {
      const size_t dist = 1 + rng() % 255, len = 1 + rng() % 300;
      for (size_t i = 0; i < len; ++i) b.push_back(b[b.size() - dist]);
    } else {
      for (size_t i = rng() % 20; i > 0; --i) b.push_back(static_cast<uint8_t>(rng() % 200));
    }
  }
  b.resize(length);
  return b;
}

// Appends copies of the last `period` bytes until `copies` more were added.
void repeatTail(Bytes* b, size_t period, int copies) {
  for (int i = 0; i < copies; ++i) {
    const Bytes tail(b->end() - static_cast<ptrdiff_t>(period), b->end());
    b->insert(b->end(), tail.begin(), tail.end());
  }
}

template <typename Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  std::string name = info.param.what;
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

Bytes decodeOrFail(const Bytes& stream) {
  Bytes buf = stream;
  size_t length = 0;
  EXPECT_TRUE(decompress(buf, buf.size(), &length).isOk());
  buf.resize(length);
  return buf;
}

struct RoundTripCase {
  std::string what;
  Bytes data;
};

class CompressRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(CompressRoundTrip, DecodesToInputAndIsNoLongerThanInputPlusTrailer) {
  const Bytes& data = GetParam().data;
  Bytes stream;
  ASSERT_TRUE(compress(data.data(), data.size(), &stream));
  EXPECT_LE(stream.size(), data.size() + 4);
  EXPECT_EQ(decodeOrFail(stream), data);
}

std::vector<RoundTripCase> roundTripCases() {
  std::vector<RoundTripCase> cases;
  for (size_t n : {0, 1, 2, 3, 4, 5, 6, 257, 258, 259, 260, 516, 517})
    cases.push_back({"run of " + std::to_string(n), Bytes(n, 'r')});
  for (size_t n : {1, 2, 3, 7, 100})
    cases.push_back({"random " + std::to_string(n), randomBytes(n, 7 + static_cast<uint32_t>(n))});
  for (size_t n : {257, 258, 259, 4096, 100000})
    cases.push_back({"text " + std::to_string(n), textLike(n, static_cast<uint32_t>(n))});
  for (size_t n : {1000, 65536, 1 << 20})
    cases.push_back({"mixed " + std::to_string(n), mixed(n, static_cast<uint32_t>(n))});
  cases.push_back({"every value in runs", everyValueInRuns()});
  Bytes twoValues;
  for (int i = 0; i < 5000; ++i) twoValues.push_back(i % 3 ? 0x00 : 0xFF);
  cases.push_back({"zeros and ff", twoValues});
  // Repeats at the longest distance a match can reach.
  Bytes periodic = randomBytes(255, 1);
  repeatTail(&periodic, 255, 40);
  cases.push_back({"period 255", periodic});
  Bytes ascending;
  for (int i = 0; i < 4000; ++i) ascending.push_back(static_cast<uint8_t>(i / 16));
  cases.push_back({"slow ramp", ascending});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Inputs, CompressRoundTrip, ::testing::ValuesIn(roundTripCases()),
                         caseName<RoundTripCase>);

TEST(Compress, LargestAcceptedLengthRoundTrips) {
  const Bytes data = mixed(MAX_COMPRESSED_LENGTH, 99);
  Bytes stream;
  ASSERT_TRUE(compress(data.data(), data.size(), &stream));
  EXPECT_LT(stream.size(), data.size() / 2);
  EXPECT_EQ(decodeOrFail(stream), data);
}

TEST(Compress, RefusesInputLongerThanTheTrailerCanState) {
  const Bytes data(MAX_COMPRESSED_LENGTH + 1, 'a');
  Bytes stream;
  EXPECT_FALSE(compress(data.data(), data.size(), &stream));
}

struct RefusedCase {
  std::string what;
  Bytes data;
};

class CompressRefuses : public ::testing::TestWithParam<RefusedCase> {};

// With every byte value among the first literals and no match below them to
// pay for an escape, no marker lets the in-place decoder finish.
TEST_P(CompressRefuses, WhenNoMarkerCanBeDecodedInPlace) {
  Bytes stream;
  EXPECT_FALSE(compress(GetParam().data.data(), GetParam().data.size(), &stream));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, CompressRefuses,
    ::testing::Values(RefusedCase{"random", randomBytes(100000, 3)},
                      RefusedCase{"all values once",
                                  [] {
                                    Bytes b(256);
                                    for (int i = 0; i < 256; ++i)
                                      b[i] = static_cast<uint8_t>(i * 7 + 3);
                                    return b;
                                  }()},
                      // A compressible tail does not help: the escapes sit at the bottom.
                      RefusedCase{"all values then runs",
                                  [] {
                                    Bytes b = randomBytes(2000, 5);
                                    for (int i = 0; i < 256; ++i)
                                      b.push_back(static_cast<uint8_t>(i));
                                    std::reverse(b.begin(), b.end());
                                    b.insert(b.end(), 5000, 'z');
                                    return b;
                                  }()}),
    caseName<RefusedCase>);

struct RatioCase {
  std::string what;
  Bytes data;
  size_t atMost;
};

class CompressRatio : public ::testing::TestWithParam<RatioCase> {};

TEST_P(CompressRatio, UsesMatches) {
  Bytes stream;
  ASSERT_TRUE(compress(GetParam().data.data(), GetParam().data.size(), &stream));
  EXPECT_LE(stream.size(), GetParam().atMost);
}

INSTANTIATE_TEST_SUITE_P(Inputs, CompressRatio,
                         ::testing::Values(
                             // 258-byte matches at 3 bytes each, a literal and the trailer.
                             RatioCase{"one byte repeated", Bytes(258 * 1000 + 1, 7),
                                       3 * 1000 + 1 + 4},
                             RatioCase{"text", textLike(100000, 1), 50000},
                             // A random block of 255 bytes then copies of it: literals once, then
                             // a match per 258 bytes.
                             RatioCase{"repeated random block",
                                       [] {
                                         Bytes b = randomBytes(255, 2);
                                         repeatTail(&b, 255, 400);
                                         return b;
                                       }(),
                                       255 + 2 + 3 * (400 * 255 / 258 + 2) + 4}),
                         caseName<RatioCase>);

// Random data has next to no repeats, so every byte is a literal and the
// marker that costs no escape is a value missing from the data.
TEST(Compress, PicksAMarkerAbsentFromTheLiterals) {
  for (uint32_t seed = 0; seed < 20; ++seed) {
    Bytes data = randomBytes(300 + seed * 97, seed);
    for (uint8_t& b : data)
      if (b == static_cast<uint8_t>(seed * 13)) b ^= 1;
    Bytes stream;
    ASSERT_TRUE(compress(data.data(), data.size(), &stream)) << seed;
    EXPECT_EQ(std::count(data.begin(), data.end(), stream.back()), 0) << seed;
    EXPECT_EQ(decodeOrFail(stream), data) << seed;
  }
}

}  // namespace
}  // namespace orvex
