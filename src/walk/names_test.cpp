#include "names.h"

#include <gtest/gtest.h>

namespace orvex {
namespace {

TEST(IsUnsafeName, RejectsAbsoluteAndParentParts) {
  for (const char* name : {"/abs", "/", "..", "../x", "a/..", "a/../b", "a/b/../../..", "x//../y"})
    EXPECT_TRUE(isUnsafeName(name)) << name;
  for (const char* name :
       {"", "a", "a/b", ".", "./a", "a/./b", "...", "..a", "a..", "a/..b/c", "a//b", "a/"})
    EXPECT_FALSE(isUnsafeName(name)) << name;
}

TEST(PieceDirectory, CutsAtTheLastDotOfTheWholeName) {
  struct {
    const char* name;
    const char* expected;  // nullptr: no usable directory
  } cases[] = {{"ev/abc.evt", "ev/abc"}, {"ev/abc.x.evt", "ev/abc.x"}, {"ev.d/abc", "ev"},
               {"a..evt", "a."},         {"nodot", nullptr},           {".evt", nullptr},
               {"a/...evt", nullptr},    {"../x.evt", nullptr},        {"/abs.evt", nullptr}};
  for (const auto& c : cases) {
    const auto dir = pieceDirectory(c.name);
    if (c.expected == nullptr)
      EXPECT_FALSE(dir.has_value()) << c.name;
    else
      EXPECT_EQ(dir.value_or("<none>"), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace orvex
