// Name recovery on a generated disc: how many of the entries no list names
// each kind of evidence names, and how many wrongly; the time of a pattern
// of over 10^10 names on one core, report included; and where the true name
// ranks among a wide pattern's matches.
//
//   orvex-bench-names [ENTRIES_PER_KIND]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "disc_builder.h"
#include "disc_content.h"
#include "program.h"
#include "recover.h"

namespace {

using namespace orvex;

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::string randomWord(std::mt19937& rng, size_t length) {
  std::string word;
  for (size_t i = 0; i < length; ++i) word += "abcdefghijklmnopqrstuvwxyz0123456789"[rng() % 36];
  return word;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int perKind = argc > 1 ? std::atoi(argv[1]) : 40;
  std::mt19937 rng(2026);
  DiscBuilder disc;
  std::map<std::string, std::string> truth;  // unreached name -> the kind that should find it
  std::vector<std::string> known;
  for (int i = 0; i < perKind; ++i) known.push_back("data/known" + std::to_string(i) + ".bin");
  known.push_back("script.txt");
  known.push_back("bgm/track01.ogg");
  disc.addStored("menu.ard", encodeNameList(known));
  for (const std::string& name : known) disc.addStored(name, bytesOf(name));

  // Lists the walk never reads: under a name it never tries, and behind a
  // list name whose hash an earlier entry already has.
  std::vector<std::string> hidden, shadowedList;
  for (int i = 0; i < perKind; ++i) {
    hidden.push_back("maps/area" + std::to_string(i) + ".map");
    shadowedList.push_back("sound/cue" + std::to_string(i) + ".snd");
  }
  disc.addStored("extra/levels.lst", encodeNameList(hidden));
  disc.addStored("al05.ard", bytesOf("not a list, and first with this hash"));
  disc.addStored("al05.ard", encodeNameList(shadowedList));
  for (const std::string& name : hidden) truth[name] = "listed";
  for (const std::string& name : shadowedList) truth[name] = "listed";

  // Names inside a script, verbatim and without folder and extension, among
  // thousands of decoys.
  std::string script;
  for (int i = 0; i < perKind; ++i) {
    const std::string verbatim = "sfx/hit" + std::to_string(i) + ".wav";
    const std::string bare = "stage" + std::to_string(100 + i);
    script += "play(\"" + verbatim + "\"); load(\"" + bare + "\");\n";
    truth[verbatim] = "referenced";
    truth["data/" + bare + ".bin"] = "completed";
  }
  for (int i = 0; i < 5000; ++i) script += randomWord(rng, 4 + rng() % 12) + " ";
  disc.addCompressedStream("script.txt", testing::compressed(script));
  // Names only a pattern finds, and names nothing finds.
  for (int i = 2; i < 2 + perKind / 2; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "bgm/track%02d.ogg", i);
    truth[name] = "guessed";
  }
  for (int i = 0; i < perKind / 2; ++i) truth["secret/" + randomWord(rng, 10) + ".dat"] = "none";
  for (const auto& [name, kind] : truth) disc.addStored(name, bytesOf(kind));

  char dirName[] = "/tmp/orvex-names-bench-XXXXXX";
  const std::string dir = mkdtemp(dirName);
  const DiscBytes bytes = buildDisc(disc);
  testing::writeBytes(dir + "/disc.img", bytes.image);
  testing::writeBytes(dir + "/disc.idx", bytes.index);
  Store store;
  Problems oddities;
  if (!openStore(dir + "/disc.img", dir + "/disc.idx", &store, &oddities, nullptr, io::realFs())
           .isOk())
    return 1;

  RecoverOptions options;
  NamePattern tracks;
  parsePattern("bgm/track[0-9]{2}.ogg", DEFAULT_ALPHABET, &tracks);
  options.patterns.push_back(tracks);
  const Recovery recovery = recoverNames(store, options);
  std::map<std::string, int> named, wrong, total;
  std::map<uint32_t, std::string> trueByHash;
  for (const auto& [name, kind] : truth) trueByHash[hashName(name)] = name;
  for (const UnreachedEntry& entry : recovery.entries) {
    const auto truthIt = trueByHash.find(entry.hash);
    if (truthIt == trueByHash.end()) continue;
    const std::string& kind = truth[truthIt->second];
    ++total[kind];
    const Candidate* chosen = entry.chosen();
    if (chosen == nullptr) continue;
    (chosen->name == truthIt->second ? named : wrong)[evidenceName(chosen->evidence)]++;
  }
  std::printf("generated disc: %zu entries no list names, %d decoy strings\n",
              recovery.entries.size(), 5000);
  std::printf("%-11s %9s %7s %7s %14s\n", "evidence", "entries", "named", "wrong", "chance alone");
  for (const char* kind : {"listed", "referenced", "completed", "guessed"}) {
    const KindTally& t = recovery.tally[kind == std::string("listed")       ? 0
                                        : kind == std::string("referenced") ? 1
                                        : kind == std::string("completed")  ? 2
                                                                            : 3];
    std::printf("%-11s %9d %7d %7d %14.3g\n", kind, total[kind], named[kind], wrong[kind],
                t.chance);
  }
  std::printf("%-11s %9d (no evidence: left unnamed)\n", "none", total["none"]);

  // A pattern of over 10^10 names against every entry no name reaches, the
  // report of every match included.
  RecoverOptions wide;
  NamePattern seven;
  parsePattern("bgm/[a-z0-9]{7}.ogg", DEFAULT_ALPHABET, &seven);
  wide.patterns.push_back(seven);
  const auto start = std::chrono::steady_clock::now();
  const Recovery found = recoverNames(store, wide);
  std::ostringstream report;
  size_t matches = 0;
  for (const UnreachedEntry& entry : found.entries)
    for (const Candidate& c : entry.candidates) {
      report << entry.position << ' ' << c.name << ' ' << evidenceName(c.evidence) << '\n';
      ++matches;
    }
  const double seconds = secondsSince(start);
  std::printf(
      "pattern bgm/[a-z0-9]{7}.ogg: %.3g names, %zu matches over %zu entries, %.2f s "
      "on one core, report included\n",
      static_cast<double>(seven.expansions()), matches, found.entries.size(), seconds);
  // Where bgm/track17.ogg ranks among the matches for its own entry.
  for (const UnreachedEntry& entry : found.entries) {
    if (entry.hash != hashName("bgm/track17.ogg")) continue;
    for (size_t i = 0; i < entry.candidates.size(); ++i)
      if (entry.candidates[i].name == "bgm/track17.ogg")
        std::printf("bgm/track17.ogg ranks %zu of the %zu names with its hash\n", i + 1,
                    entry.candidates.size());
  }
  std::filesystem::remove_all(dir);
  return 0;
}
