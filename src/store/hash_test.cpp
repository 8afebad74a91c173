#include <gtest/gtest.h>

#include "store.h"

namespace orvex {
namespace {

struct HashCase {
  std::string name;
  uint32_t hash;
};

class HashNameTest : public ::testing::TestWithParam<HashCase> {};

TEST_P(HashNameTest, MatchesKnownValue) {
  EXPECT_EQ(hashName(GetParam().name), GetParam().hash) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Known, HashNameTest,
    ::testing::Values(HashCase{"", 0}, HashCase{"a", 0x00004445}, HashCase{"ab", 0x0000BCAE},
                      HashCase{"abc", 0x00015D5F}, HashCase{"\xE9", 0xFFFF52B5},
                      HashCase{"\xFF", 0xFFFF0000},
                      // The four list-name pairs that share a hash.
                      HashCase{"pi02.ard", 0x0003E044}, HashCase{"po37.ard", 0x0003E044},
                      HashCase{"pi07.ard", 0x000FE984}, HashCase{"po32.ard", 0x000FE984},
                      HashCase{"pi32.ard", 0x00279804}, HashCase{"po07.ard", 0x00279804},
                      HashCase{"pi37.ard", 0x002B91C4}, HashCase{"po02.ard", 0x002B91C4}));

TEST(HashName, IsCaseSensitiveAndOrderSensitive) {
  EXPECT_NE(hashName("A"), hashName("a"));
  EXPECT_NE(hashName("ab"), hashName("ba"));
  EXPECT_NE(hashName("x/y"), hashName("xy"));
}

}  // namespace
}  // namespace orvex
