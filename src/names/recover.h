// Recovering names for the index entries no name reaches, from the disc's
// own evidence: name lists the walk does not read, strings inside its
// files, those strings completed with folders and extensions the disc
// already uses, patterns, and names files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "catalog.h"
#include "names_file.h"
#include "pattern.h"
#include "store.h"
#include "walk.h"

namespace orvex {

// The kinds of evidence, strongest first: a name the user gave outranks
// every name the disc suggests.
enum class Evidence { kGiven, kListed, kReferenced, kCompleted, kGuessed };
constexpr int EVIDENCE_KINDS = 5;
const char* evidenceName(Evidence evidence);

struct Candidate {
  std::string name;
  Evidence evidence = Evidence::kGuessed;
  std::string source;   // where it was found
  double likeness = 0;  // how much it looks like the disc's known names
  // The matches chance alone would give among the names of its kind and
  // length tried (of its pattern, for a guess). From 1 up, the match says
  // little: the candidate ranks below those chance would not give.
  double chance = 0;
  int hashBits = 32;  // the bits of the hash its varying bytes can set
  bool byChance() const { return evidence != Evidence::kGiven && chance >= 1; }
};

struct UnreachedEntry {
  uint32_t position = 0;
  uint32_t hash = 0;
  EntryState state = EntryState::kUnnamed;  // unnamed or shadowed
  // Given names first; then those chance would not give, before those it
  // would; within each, strongest kind first, then likeness.
  std::vector<Candidate> candidates;
  bool ambiguous = false;  // more than one candidate
  // The name a names file takes: when exactly one candidate ranks first
  // (the strongest kind found, as likely by chance as the first).
  const Candidate* chosen() const;
};

struct KindTally {
  uint64_t tried = 0;    // names checked
  uint64_t matches = 0;  // candidates found
  double chance = 0;     // matches chance alone would give
};

struct Recovery {
  std::vector<UnreachedEntry> entries;  // index order
  KindTally tally[EVIDENCE_KINDS];
};

struct RecoverOptions {
  WalkOptions walk;                   // how names are learned today
  OutputDir* folder = nullptr;        // the run's folder, for its event table
  std::vector<NamePattern> patterns;  // --guess
  std::vector<GivenName> given;       // --names, as evidence
  // Called now and then while the patterns are searched, with the names
  // tried so far and the names they give in all.
  std::function<void(uint64_t tried, uint64_t total)> guessProgress;
};

// A name is plausible: bytes 0x21-0x7E, relative, no ".." part, at most 255
// bytes.
bool isPlausibleName(std::string_view name);

Recovery recoverNames(const Store& store, const RecoverOptions& options);

}  // namespace orvex
