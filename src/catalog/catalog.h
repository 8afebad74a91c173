// Knowing what a disc holds without extracting it: which names reach which
// index entries, the state of every entry, and getting at the entries that no
// name reaches.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json_writer.h"
#include "output_dir.h"
#include "store.h"
#include "walk.h"

namespace orvex {

// The names that reach each index entry, learned the way a run learns them
// but writing nothing.
struct NameReach {
  std::vector<std::vector<std::string>> names;  // per index position, first-seen order
  std::vector<std::string> givenBy;  // per position: the names file line that named it, if one did
  Problems notes;                    // why names may be missing, e.g. an unreadable event table

  // How many index entries some name reaches.
  uint64_t entriesReached() const;
};

// The walk of a run in folder (nullptr: a folder that does not exist yet),
// writing nothing. When the folder holds no event table, the run would use
// the one that the list pass writes, so the store's copy is read instead.
NameReach learnNames(const Store& store, OutputDir* folder, const WalkOptions& options = {});

// In the order in which they are decided: an entry takes the first that applies.
enum class EntryState { kNeverFound, kShadowed, kPastEnd, kDamaged, kUnnamed, kOk };
constexpr int ENTRY_STATE_COUNT = 6;
const char* stateName(EntryState state);

struct EntryRow {
  uint32_t position = 0;
  IndexEntry entry;
  EntryState state = EntryState::kOk;
  // Compressed entries: the length the stream's trailer states, when it can
  // be read.
  std::optional<uint64_t> decodedSize;
  // What keeps the entry's bytes from being read, whatever its state:
  // empty when they read and decode.
  std::string problem;
  std::vector<std::string> names;
  std::string givenBy;  // the names file line whose name reaches it, when that is its name
};

struct StateTotal {
  uint64_t entries = 0;
  uint64_t storedBytes = 0;
};

struct Inventory {
  std::vector<EntryRow> rows;  // index order
  StateTotal totals[ENTRY_STATE_COUNT];
  Problems notes;
};

// Examines every entry; compressed entries are decoded to tell damaged ones.
Inventory takeInventory(const Store& store, NameReach reach);

// The inventory as an aligned table with a summary, for a terminal.
void writeInventoryTable(const Inventory& inventory, std::ostream& out);
// The inventory as one JSON document: {"entries": [...], "summary": {...}}.
void writeInventoryJson(const Inventory& inventory, std::ostream& out);

struct UnnamedStats {
  uint64_t written = 0;
  uint64_t bytes = 0;
  uint64_t present = 0;  // there already with the entry's bytes
  uint64_t failed = 0;   // meant to be written but not: other bytes there, or a write error
  uint64_t skipped = 0;  // bytes that cannot be read: never found, past the end, damaged
};

// What became of one entry that no name reaches.
struct UnnamedFile {
  const EntryRow* row = nullptr;
  std::string path;      // where it went, or was to go; empty when skipped
  uint64_t bytes = 0;    // its length, once written
  std::string problem;   // why it was skipped or not written; empty when written
  bool present = false;  // there already with the entry's bytes
};

// Writes every entry that no name reaches (unnamed or shadowed) into outDir,
// decoded, never replacing a file already there; each entry's fate goes to
// files, in index order.
UnnamedStats writeUnnamed(const Store& store, const Inventory& inventory, const std::string& outDir,
                          std::vector<UnnamedFile>* files);
// The fates as one JSON document: {"files": [...], "summary": {...}}.
void writeUnnamedJson(const std::vector<UnnamedFile>& files, const UnnamedStats& stats,
                      std::ostream& out);

}  // namespace orvex
