// Recovering names for the index entries no name reaches, from the disc's
// own evidence: name lists the walk does not read, strings inside its
// files, those strings completed with folders and extensions the disc
// already uses, patterns, and names files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalog.h"
#include "names_file.h"
#include "pattern.h"
#include "store.h"
#include "walk.h"

namespace orvex {

// The kinds of evidence, strongest first.
enum class Evidence { kListed, kReferenced, kCompleted, kGuessed, kGiven };
constexpr int EVIDENCE_KINDS = 5;
const char* evidenceName(Evidence evidence);

struct Candidate {
  std::string name;
  Evidence evidence = Evidence::kGuessed;
  std::string source;   // where it was found
  double likeness = 0;  // how much it looks like the disc's known names
};

struct UnreachedEntry {
  uint32_t position = 0;
  uint32_t hash = 0;
  EntryState state = EntryState::kUnnamed;  // unnamed or shadowed
  std::vector<Candidate> candidates;        // strongest kind first, then likeness
  bool ambiguous = false;                   // more than one candidate
  // The name a names file takes: when exactly one candidate has the
  // strongest kind found.
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
};

// A name is plausible: bytes 0x21-0x7E, relative, no ".." part, at most 255
// bytes.
bool isPlausibleName(std::string_view name);

Recovery recoverNames(const Store& store, const RecoverOptions& options);

}  // namespace orvex
