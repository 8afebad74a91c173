#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "store.h"
#include "tool.h"

namespace orvex {
namespace {

struct HashOutputCase {
  std::vector<std::string> args;
  std::string expected;
};

class HashCommandOutput : public ::testing::TestWithParam<HashOutputCase> {};

TEST_P(HashCommandOutput, PrintsOneLinePerNameInOrder) {
  std::ostringstream out, err;
  EXPECT_EQ(runHashCommand(GetParam().args, out, err), 0);
  EXPECT_EQ(out.str(), GetParam().expected);
  EXPECT_EQ(err.str(), "");
}

// Reference values, shared with the store's hash tests.
INSTANTIATE_TEST_SUITE_P(
    Names, HashCommandOutput,
    ::testing::Values(HashOutputCase{{"a"}, "0x00004445 a\n"},
                      HashOutputCase{{"abc", "a"}, "0x00015D5F abc\n0x00004445 a\n"},
                      HashOutputCase{{"pi02.ard", "po37.ard"},
                                     "0x0003E044 pi02.ard\n0x0003E044 po37.ard\n"},
                      // Upper bits come from bytes above 0x7F, which count as negative.
                      HashOutputCase{{"\xFF"}, "0xFFFF0000 \xFF\n"},
                      HashOutputCase{{""}, "0x00000000 \n"}));

TEST(HashCommand, NamesAfterDoubleDashAreNotOptions) {
  std::ostringstream out, err;
  ASSERT_EQ(runHashCommand({"--", "-x", "--help", "--"}, out, err), 0);
  std::string expected;
  for (const char* name : {"-x", "--help", "--"}) {
    char line[64];
    std::snprintf(line, sizeof line, "0x%08X %s\n", hashName(name), name);
    expected += line;
  }
  EXPECT_EQ(out.str(), expected);
}

}  // namespace
}  // namespace orvex
