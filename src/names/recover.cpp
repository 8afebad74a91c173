#include "recover.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace orvex {
namespace {

constexpr size_t kMinRun = 4;
constexpr size_t kMaxRuns = 200000;  // distinct strings kept for completion

bool isNameByte(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '/' || c == '-';
}

// A character model of the known names: how likely each byte is after the
// one before (with add-one smoothing), for ranking guesses.
class Likeness {
 public:
  explicit Likeness(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      int previous = 256;
      for (const char c : name) {
        const auto byte = static_cast<uint8_t>(c);
        ++counts_[previous][byte];
        ++totals_[previous];
        previous = byte;
      }
      ++counts_[previous][256];
      ++totals_[previous];
    }
  }

  // The mean log-likelihood of the name's bytes, its end included.
  double operator()(const std::string& name) const {
    double sum = 0;
    int previous = 256;
    for (size_t i = 0; i <= name.size(); ++i) {
      const int byte = i < name.size() ? static_cast<uint8_t>(name[i]) : 256;
      sum += std::log((counts_[previous][byte] + 1.0) / (totals_[previous] + 257.0));
      previous = byte;
    }
    return sum / static_cast<double>(name.size() + 1);
  }

 private:
  std::vector<std::vector<uint32_t>> counts_ =
      std::vector<std::vector<uint32_t>>(257, std::vector<uint32_t>(257, 0));
  std::vector<uint32_t> totals_ = std::vector<uint32_t>(257, 0);
};

// The bits of the hash that a name's varying bytes can set. Each byte XORs
// a 17-bit remainder into the hash doubled, so m bytes of 0x00-0x7F in a row
// set only the hash's 16 + m lowest bits (shifted by what follows them,
// which the other bytes fix); bytes from 0x80 up set the bits above theirs
// too, one more bit. The 2^bits hashes they reach are all a match can tell
// apart: among N strings tried for T entries, chance alone gives about
// N * T / 2^bits matches, however many bytes the names have in all.
int keptBits(size_t varyingBytes, bool highBytes) {
  return static_cast<int>(std::min<size_t>(32, 16 + varyingBytes + (highBytes ? 1 : 0)));
}

bool hasHighByte(std::string_view name) {
  return std::any_of(name.begin(), name.end(),
                     [](char c) { return static_cast<uint8_t>(c) >= 0x80; });
}

// A byte from 0x80 up in a place of the pattern that varies.
bool hasHighByte(const NamePattern& pattern) {
  return std::any_of(pattern.places.begin(), pattern.places.end(), [](const auto& place) {
    return place.size() > 1 && std::any_of(place.begin(), place.end(),
                                           [](const std::string& s) { return hasHighByte(s); });
  });
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// Candidates rank by class first: given, then those chance alone would not
// give, then those it would; each class by kind.
int rankClass(const Candidate& c) {
  const int tier = c.evidence == Evidence::kGiven ? 0 : c.byChance() ? 2 : 1;
  return tier * EVIDENCE_KINDS + static_cast<int>(c.evidence);
}

std::string entryLabel(size_t position, uint32_t hash) {
  char text[48];
  std::snprintf(text, sizeof text, "entry %zu (0x%08X)", position, hash);
  return text;
}

class Gatherer {
 public:
  Gatherer(const Store& store, const RecoverOptions& options) : store_(store), options_(options) {}

  Recovery run() {
    const NameReach reach = learnNames(store_, options_.folder, options_.walk);
    const Inventory inventory = takeInventory(store_, reach);
    for (const EntryRow& row : inventory.rows) {
      for (const std::string& name : row.names) known_.insert(name);
      if (row.state != EntryState::kUnnamed && row.state != EntryState::kShadowed) continue;
      byHash_[row.entry.hash].push_back(recovery_.entries.size());
      targets_.insert(row.entry.hash);
      recovery_.entries.push_back({row.position, row.entry.hash, row.state, {}, false});
    }
    std::vector<uint8_t> bytes;
    for (const EntryRow& row : inventory.rows) {
      if (!row.problem.empty()) continue;
      if (!readLocated(store_, locateEntry(store_, row.position), &bytes).isOk()) continue;
      readAsList(row, bytes);
      readStrings(row, bytes);
    }
    complete();
    for (const GivenName& given : options_.given) {
      const int bits = keptBits(given.name.size(), hasHighByte(given.name));
      countTried(Evidence::kGiven, bits);
      offer(given.name, Evidence::kGiven, given.source, bits, given.position);
    }
    const double targets = static_cast<double>(recovery_.entries.size());
    uint64_t guessTotal = 0, guessTried = 0;
    for (const NamePattern& pattern : options_.patterns)
      guessTotal = saturatingAdd(guessTotal, pattern.expansions());
    for (const NamePattern& pattern : options_.patterns) {
      KindTally& guessed = tally(Evidence::kGuessed);
      guessed.tried = saturatingAdd(guessed.tried, pattern.expansions());
      const int bits = keptBits(pattern.freeBytes(), hasHighByte(pattern));
      const double chance = static_cast<double>(pattern.expansions()) * targets / std::exp2(bits);
      guessed.chance += chance;
      const auto progress = [&](uint64_t tried) {
        if (options_.guessProgress)
          options_.guessProgress(saturatingAdd(guessTried, tried), guessTotal);
      };
      solvePattern(
          pattern, targets_,
          [&](const std::string& name) {
            offer(name, Evidence::kGuessed, "pattern " + pattern.text, bits, std::nullopt, chance);
          },
          uint64_t{1} << 24, progress);
      guessTried = saturatingAdd(guessTried, pattern.expansions());
    }
    for (int kind = 0; kind < EVIDENCE_KINDS; ++kind) {
      if (kind == static_cast<int>(Evidence::kGuessed)) continue;
      for (const auto& [bits, tried] : triedByBits_[kind])
        recovery_.tally[kind].chance += static_cast<double>(tried) * targets / std::exp2(bits);
    }
    rank();
    return std::move(recovery_);
  }

 private:
  KindTally& tally(Evidence evidence) { return recovery_.tally[static_cast<int>(evidence)]; }

  void countTried(Evidence evidence, int bits) {
    ++tally(evidence).tried;
    ++triedByBits_[static_cast<int>(evidence)][bits];
  }

  // The matches chance alone would give among the names of the candidate's
  // kind tried that reach as many bits of the hash.
  double chanceOf(const Candidate& c) const {
    const auto& tried = triedByBits_[static_cast<int>(c.evidence)];
    const auto found = tried.find(c.hashBits);
    if (found == tried.end()) return 0;
    return static_cast<double>(found->second) * static_cast<double>(recovery_.entries.size()) /
           std::exp2(c.hashBits);
  }

  // A name whose hash is one no name reaches: a candidate for those entries
  // (for the one tied to, when tied), unless a known name already.
  // bits: those of the hash the name's varying bytes can set; chance, when
  // known already (a pattern's), else worked out from the names tried.
  void offer(const std::string& name, Evidence evidence, const std::string& source, int bits,
             std::optional<uint32_t> tied = std::nullopt, double chance = -1) {
    if (!isPlausibleName(name) || known_.contains(name)) return;
    const auto found = byHash_.find(hashName(name));
    if (found == byHash_.end()) return;
    for (size_t index : found->second) {
      UnreachedEntry& entry = recovery_.entries[index];
      if (tied && *tied != entry.position) continue;
      const bool repeated =
          std::any_of(entry.candidates.begin(), entry.candidates.end(),
                      [&](const Candidate& c) { return c.name == name && c.evidence <= evidence; });
      if (repeated) continue;
      entry.candidates.push_back({name, evidence, source, 0, chance, bits});
      ++tally(evidence).matches;
    }
  }

  // An entry that reads as a name list with every slot a plausible name.
  void readAsList(const EntryRow& row, const std::vector<uint8_t>& bytes) {
    std::vector<std::string_view> names;
    std::string warning;
    if (!decodeNameList(bytes.data(), bytes.size(), &names, &warning).isOk() || !warning.empty())
      return;
    size_t used = 0;
    for (std::string_view name : names) {
      if (name.empty()) continue;
      if (!isPlausibleName(name)) return;
      ++used;
    }
    if (used == 0) return;
    for (size_t slot = 0; slot < names.size(); ++slot) {
      if (names[slot].empty()) continue;
      const std::string name(names[slot]);
      const int bits = keptBits(name.size(), false);
      countTried(Evidence::kListed, bits);
      listedNames_.push_back(name);
      offer(name, Evidence::kListed,
            "list " + entryLabel(row.position, row.entry.hash) + ", slot " + std::to_string(slot),
            bits);
    }
  }

  // Runs of name bytes, as names themselves and kept for completion.
  void readStrings(const EntryRow& row, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size();) {
      if (!isNameByte(bytes[i])) {
        ++i;
        continue;
      }
      size_t end = i;
      while (end < bytes.size() && isNameByte(bytes[end])) ++end;
      if (end - i >= kMinRun && end - i <= 255) {
        const std::string run(reinterpret_cast<const char*>(bytes.data()) + i, end - i);
        const int bits = keptBits(run.size(), false);
        countTried(Evidence::kReferenced, bits);
        const std::string source =
            entryLabel(row.position, row.entry.hash) + " at offset " + std::to_string(i);
        offer(run, Evidence::kReferenced, source, bits);
        if (runs_.size() < kMaxRuns) runs_.emplace(run, source);
      }
      i = end;
    }
  }

  // The strings completed with a folder and an extension the disc knows.
  void complete() {
    std::set<std::string> folders = {""}, extensions = {""};
    auto learn = [&](const std::string& name) {
      const size_t slash = name.rfind('/');
      if (slash != std::string::npos) folders.insert(name.substr(0, slash + 1));
      const size_t dot = name.rfind('.');
      if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        extensions.insert(name.substr(dot));
    };
    for (const std::string& name : known_) learn(name);
    for (const std::string& name : listedNames_) learn(name);
    for (const auto& [run, source] : runs_) {
      // Only the string varies: the folders and extensions are the disc's.
      const int bits = keptBits(run.size(), false);
      for (const std::string& folder : folders) {
        for (const std::string& extension : extensions) {
          if (folder.empty() && extension.empty()) continue;
          const std::string name = folder + run + extension;
          countTried(Evidence::kCompleted, bits);
          offer(name, Evidence::kCompleted,
                "\"" + run + "\" in " + source + ", with " +
                    (folder.empty() ? "no folder" : folder) + " and " +
                    (extension.empty() ? "no extension" : extension),
                bits);
        }
      }
    }
  }

  void rank() {
    std::vector<std::string> model(known_.begin(), known_.end());
    model.insert(model.end(), listedNames_.begin(), listedNames_.end());
    const Likeness likeness(model);
    for (UnreachedEntry& entry : recovery_.entries) {
      for (Candidate& c : entry.candidates) {
        c.likeness = likeness(c.name);
        if (c.chance < 0) c.chance = chanceOf(c);
      }
      std::stable_sort(entry.candidates.begin(), entry.candidates.end(),
                       [](const Candidate& a, const Candidate& b) {
                         if (rankClass(a) != rankClass(b)) return rankClass(a) < rankClass(b);
                         return a.likeness > b.likeness;
                       });
      std::set<std::string> distinct;
      for (const Candidate& c : entry.candidates) distinct.insert(c.name);
      entry.ambiguous = distinct.size() > 1;
    }
  }

  const Store& store_;
  const RecoverOptions& options_;
  Recovery recovery_;
  std::unordered_set<uint32_t> targets_;
  std::unordered_map<uint32_t, std::vector<size_t>> byHash_;  // hash -> entries
  std::unordered_set<std::string> known_;                     // names reaching entries today
  std::vector<std::string> listedNames_;
  std::map<std::string, std::string> runs_;              // string -> where it was first seen
  std::map<int, uint64_t> triedByBits_[EVIDENCE_KINDS];  // hash bits -> names tried
};

}  // namespace

const char* evidenceName(Evidence evidence) {
  switch (evidence) {
    case Evidence::kGiven:
      return "given";
    case Evidence::kListed:
      return "listed";
    case Evidence::kReferenced:
      return "referenced";
    case Evidence::kCompleted:
      return "completed";
    case Evidence::kGuessed:
      return "guessed";
  }
  return "?";
}

const Candidate* UnreachedEntry::chosen() const {
  if (candidates.empty()) return nullptr;
  const int strongest = rankClass(candidates.front());
  std::set<std::string> names;
  for (const Candidate& c : candidates)
    if (rankClass(c) == strongest) names.insert(c.name);
  return names.size() == 1 ? &candidates.front() : nullptr;
}

bool isPlausibleName(std::string_view name) {
  if (name.empty() || name.size() > 255 || isUnsafeName(name)) return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x21 && c <= 0x7E; });
}

Recovery recoverNames(const Store& store, const RecoverOptions& options) {
  return Gatherer(store, options).run();
}

}  // namespace orvex
