#include "recover.h"

#include <gtest/gtest.h>

#include <random>

#include "disc_builder.h"
#include "disc_content.h"
#include "program.h"

namespace orvex {
namespace {

using testing::bytesOf;

// One disc with an entry for each kind of evidence, one with none, one that
// a wide pattern leaves ambiguous, and thousands of decoy strings.
TEST(RecoverNames, FindsEachKindOfEvidenceAndTellsAmbiguity) {
  DiscBuilder disc;
  disc.addStored("menu.ard", encodeNameList({"data/known.bin", "bgm/track01.ogg", "script.txt"}));
  disc.addStored("data/known.bin", bytesOf("known"));
  disc.addStored("bgm/track01.ogg", bytesOf("music"));
  // A list stored under a name the walk never tries.
  disc.addStored("extra.lst", encodeNameList({"maps/field.map", "maps/town.map"}));
  disc.addStored("maps/field.map", bytesOf("field"));
  disc.addStored("maps/town.map", bytesOf("town"));
  // Names inside a script: one verbatim, one without its folder and extension.
  std::string script = "load(\"sfx/door.wav\"); stage = \"stage03\";\n";
  std::mt19937 rng(3);
  for (int i = 0; i < 3000; ++i) {  // decoys
    std::string decoy;
    for (int n = 0; n < 8; ++n) decoy += static_cast<char>('a' + rng() % 26);
    script += decoy + " ";
  }
  disc.addCompressedStream("script.txt", testing::compressed(script));
  disc.addStored("sfx/door.wav", bytesOf("creak"));
  disc.addStored("data/stage03.bin", bytesOf("stage"));
  disc.addStored("bgm/track07.ogg", bytesOf("found by a pattern"));
  disc.addStored("qzwxv", bytesOf("many names share its hash"));
  disc.addStored("no/evidence/at/all.dat", bytesOf("?"));
  const DiscBytes bytes = buildDisc(disc);
  testing::TempDir dir;
  testing::writeBytes(dir / "disc.img", bytes.image);
  testing::writeBytes(dir / "disc.idx", bytes.index);
  Store store;
  Problems oddities;
  ASSERT_TRUE(
      openStore(dir / "disc.img", dir / "disc.idx", &store, &oddities, nullptr, io::realFs())
          .isOk());

  RecoverOptions options;
  for (const char* text : {"bgm/track[0-9]{2}.ogg", "[a-z]{5}"}) {
    NamePattern pattern;
    ASSERT_TRUE(parsePattern(text, DEFAULT_ALPHABET, &pattern).isOk());
    options.patterns.push_back(pattern);
  }
  const Recovery recovery = recoverNames(store, options);

  std::map<std::string, const UnreachedEntry*> byTrueName;
  const char* const unreached[] = {"extra.lst",    "maps/field.map",        "maps/town.map",
                                   "sfx/door.wav", "data/stage03.bin",      "bgm/track07.ogg",
                                   "qzwxv",        "no/evidence/at/all.dat"};
  for (const char* name : unreached) {
    for (const UnreachedEntry& entry : recovery.entries)
      if (entry.hash == hashName(name)) byTrueName[name] = &entry;
    ASSERT_TRUE(byTrueName.contains(name)) << name << " should be unreached";
  }
  EXPECT_EQ(recovery.entries.size(), std::size(unreached));
  const auto chosen = [&](const char* name) {
    const Candidate* c = byTrueName[name]->chosen();
    return c ? c->name + " " + evidenceName(c->evidence) : std::string("<none>");
  };
  EXPECT_EQ(chosen("maps/field.map"), "maps/field.map listed");
  EXPECT_EQ(chosen("maps/town.map"), "maps/town.map listed");
  EXPECT_EQ(chosen("sfx/door.wav"), "sfx/door.wav referenced");
  EXPECT_EQ(chosen("data/stage03.bin"), "data/stage03.bin completed");
  EXPECT_EQ(byTrueName["bgm/track07.ogg"]->candidates.front().name, "bgm/track07.ogg");
  EXPECT_TRUE(byTrueName["qzwxv"]->ambiguous);
  EXPECT_GT(byTrueName["qzwxv"]->candidates.size(), 1u);
  EXPECT_EQ(byTrueName["qzwxv"]->chosen(), nullptr);
  // 26^5 names of 21 hash bits give every target several matches; 100 do not.
  EXPECT_TRUE(byTrueName["qzwxv"]->candidates.front().byChance());
  EXPECT_FALSE(byTrueName["bgm/track07.ogg"]->candidates.front().byChance());
  EXPECT_TRUE(byTrueName["no/evidence/at/all.dat"]->candidates.empty());
  // No wrong name from a list or a string: decoys match nothing.
  for (const auto& [name, entry] : byTrueName) {
    for (const Candidate& c : entry->candidates) {
      if (c.evidence == Evidence::kListed || c.evidence == Evidence::kReferenced) {
        EXPECT_EQ(c.name, name);
      }
    }
  }
  EXPECT_GE(recovery.tally[static_cast<int>(Evidence::kReferenced)].tried, 3000u);
  EXPECT_LT(recovery.tally[static_cast<int>(Evidence::kReferenced)].chance, 0.01);
}

}  // namespace
}  // namespace orvex
