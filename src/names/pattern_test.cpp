#include "pattern.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "store.h"

namespace orvex {
namespace {

std::set<std::string> solved(const NamePattern& pattern,
                             const std::unordered_set<uint32_t>& targets, uint64_t tableLimit) {
  std::set<std::string> names;
  solvePattern(
      pattern, targets,
      [&](const std::string& name) {
        EXPECT_TRUE(names.insert(name).second) << "given twice: " << name;
      },
      tableLimit);
  return names;
}

// Meeting in the middle finds exactly what hashing every name finds, wherever
// the pattern is split, for targets the pattern reaches and ones it does not.
TEST(SolvePattern, FindsWhatPlainEnumerationFinds) {
  struct Case {
    const char* pattern;
    const char* alphabet;
    uint64_t expansions;
  } cases[] = {
      {"ab?c", DEFAULT_ALPHABET, 37},
      {"x[0-9]{2}.bin", DEFAULT_ALPHABET, 100},
      {"{map,tile}_[a-c]{1,3}", DEFAULT_ALPHABET, 2 * 4 * 4 * 3},
      {"d/*", "ab", 6561},
      {"\\?[xy]{2}\\*", DEFAULT_ALPHABET, 4},
      {"s[a-z0-9]{3}", DEFAULT_ALPHABET, 36 * 36 * 36},
  };
  std::mt19937 rng(7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    NamePattern pattern;
    ASSERT_TRUE(parsePattern(c.pattern, c.alphabet, &pattern).isOk());
    EXPECT_EQ(pattern.expansions(), c.expansions);
    // Targets: the hashes of some names it gives, and some others.
    std::unordered_set<uint32_t> targets = {0x12345678, 0xFFFF0000, hashName("elsewhere")};
    std::set<std::string> every;
    std::function<void(size_t, std::string)> walk = [&](size_t at, std::string name) {
      if (at == pattern.places.size()) return void(every.insert(name));
      for (const std::string& choice : pattern.places[at]) walk(at + 1, name + choice);
    };
    walk(0, "");
    std::vector<std::string> list(every.begin(), every.end());
    for (int i = 0; i < 5; ++i) targets.insert(hashName(list[rng() % list.size()]));
    std::set<std::string> expected;
    enumeratePattern(pattern, targets, [&](const std::string& name) { expected.insert(name); });
    EXPECT_GE(expected.size(), 1u);
    for (uint64_t limit : {uint64_t{1}, uint64_t{40}, uint64_t{1} << 20})
      EXPECT_EQ(solved(pattern, targets, limit), expected) << "table limit " << limit;
  }
}

TEST(ParsePattern, RefusesPatternsThatAreNone) {
  for (const char* text : {"[abc", "[z-a]", "x{3", "?{5,2}", "ab]", "x\\", "[]", "?{1,,3}"}) {
    NamePattern pattern;
    EXPECT_EQ(parsePattern(text, DEFAULT_ALPHABET, &pattern).code(), Status::Code::kInvalid)
        << text;
  }
}

}  // namespace
}  // namespace orvex
