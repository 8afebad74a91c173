#include "file_names.h"

#include <gtest/gtest.h>

namespace orvex {
namespace {

std::string foldAscii(std::string_view name) {
  std::string folded(name);
  for (char& c : folded)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return folded;
}

const io::NameRules kWindows{true, foldAscii};

TEST(FileNames, EveryDiscNameComesBackFromTheFileNameItIsWrittenAs) {
  struct {
    const char* disc;
    const char* file;
  } cases[] = {
      {"ok.txt", "ok.txt"},
      {"Data/Readme.txt", "Data/Readme.txt"},
      {"a\\..\\..\\escape.txt", "a%5C..%5C..%5Cescape.txt"},
      {"c:drive.txt", "c%3Adrive.txt"},
      {"nul.txt", "%6Eul.txt"},
      {"NUL", "%4EUL"},
      {"Com7 .txt", "%43om7 .txt"},
      {"lpt1:x", "%6Cpt1%3Ax"},
      {"aux/con", "%61ux/%63on"},
      {"com10.txt", "com10.txt"},
      {"nullity.txt", "nullity.txt"},
      {"dot.", "dot%2E"},
      {"dir. /file .. ", "dir%2E%20/file%20%2E%2E%20"},
      {"...", "%2E%2E%2E"},
      {"star*.txt", "star%2A.txt"},
      {"<>\"|?", "%3C%3E%22%7C%3F"},
      {"100%.txt", "100%25.txt"},
      {"tab\tbell\x07 del\x7F", "tab%09bell%07 del%7F"},
      {"sjis\x82\xA0.txt", "sjis%82%A0.txt"},
      {"latin\xE9", "latin%E9"},
      {"utf8 \xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80", "utf8 \xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80"},
      {"overlong \xC0\xAF", "overlong %C0%AF"},
      {"surrogate \xED\xA0\x80", "surrogate %ED%A0%80"},
      {"cut \xE3\x81", "cut %E3%81"},
      {"a//./b", "a//./b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.disc);
    EXPECT_EQ(fileNameFor(c.disc, {}), c.disc);
    EXPECT_EQ(fileNameFor(c.disc, kWindows), c.file);
    EXPECT_EQ(discNameFor(c.file, kWindows).value_or("<none>"), c.disc);
  }
}

TEST(FileNames, AFileNameNoDiscNameIsWrittenAsGivesNone) {
  for (const char* file : {"%41.txt", "100%", "100%2", "%zz", "%3a", "a%2Fb", "dot.", "nul.txt"})
    EXPECT_FALSE(discNameFor(file, kWindows).has_value()) << file;
  EXPECT_EQ(discNameFor("%41.txt", {}).value_or("<none>"), "%41.txt");
}

TEST(CaseTwins, ANameFoldingAsAnEarlierOneWithAnotherSpellingIsItsTwin) {
  CaseTwins twins(kWindows);
  struct {
    const char* name;
    const char* twinOf;  // nullptr: none
  } steps[] = {
      {"Data/Readme.txt", nullptr},
      {"Data/Readme.txt", nullptr},
      {"data/readme.txt", "Data/Readme.txt"},
      {"DATA/Readme.txt", "Data/Readme.txt"},
      {"data/other.txt", "Data/Readme.txt"},
      {"Data/Other.txt", nullptr},
      {"./Data//OTHER.txt", "Data/Other.txt"},
      {"data", "Data/Readme.txt"},
      {"nul.txt", nullptr},
      {"NUL.txt", nullptr},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    EXPECT_EQ(twins.record(step.name).value_or("<none>"), step.twinOf ? step.twinOf : "<none>");
  }
  CaseTwins keptCase(io::NameRules{true, nullptr});
  EXPECT_FALSE(keptCase.record("a").has_value());
  EXPECT_FALSE(keptCase.record("A").has_value());
}

}  // namespace
}  // namespace orvex
