// The extractor: writing stored files into the working directory, the
// name-list pass and the event pass.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store.h"

namespace orvex {

struct RunStats {
  uint64_t filesWritten = 0;
  uint64_t bytesWritten = 0;
  uint64_t filesPresent = 0;  // skipped because they already exist
  uint64_t warnings = 0;
};

class ProgressLine;

// What the passes share over one run: the store they read, where messages go,
// and what they have done so far.
struct Run {
  explicit Run(const Store& s) : store(s), reached(s.index.entries().size(), 0) {}

  const Store& store;
  std::FILE* out = stdout;  // the progress messages
  std::FILE* err = stderr;  // warnings
  RunStats stats;
  std::vector<uint8_t> reached;  // per index position: some name resolved to it
  uint64_t reachedCount = 0;
  ProgressLine* progress = nullptr;  // set when a terminal shows progress
  std::vector<uint8_t> buffer;       // file bytes, reused from file to file
};

// Records that a name resolved to the entry at this index position.
void markReached(Run& run, int64_t position);

// One self-updating line on a terminal: entries reached of all entries,
// bytes written and the rate. Redrawn at most a few times a second.
class ProgressLine {
 public:
  explicit ProgressLine(std::FILE* terminal);
  void update(const Run& run);
  void clear();

 private:
  std::FILE* terminal_;
  double start_ = 0;
  double lastDrawn_ = -1;
  bool drawn_ = false;
};

// The closing summary: files and bytes written, files already present,
// warnings, and the index entries that no name reached.
std::string runSummary(const Run& run);

// Prints "orvex: warning: NAME: REASON" on the warning stream and counts it.
void warn(Run& run, std::string_view name, std::string_view reason);

// A name from the store is unsafe when it is absolute or has a ".."
// component: it could reach outside the working directory.
bool isUnsafeName(std::string_view name);

// Writes name into the working directory unless it is already there.
void dumpFile(Run& run, std::string_view name);

// Names held in a name list's slots. Returns false, saying why, for a list
// too short to hold its header; *warning is set when the list's end lies
// past the end of its bytes (the slots inside them are still returned).
bool parseNameList(const uint8_t* data, size_t length, std::vector<std::string_view>* names,
                   std::string* warning);
void dumpNameList(Run& run, std::string_view listName);
// Every name the first pass tries as a list, in order: menu.ard, then
// al00.ard .. zz99.ard.
const std::vector<std::string>& nameListNames();
// The first pass: menu.ard, then al00.ard .. zz99.ard.
void dumpAllNameLists(Run& run);

struct EventPiece {
  uint32_t start = 0;
  uint32_t end = 0;
};
// The pieces an event file's offset table describes, unchecked against the
// file's length. Returns false, saying why, for a damaged table.
bool parseEventPieces(const uint8_t* data, size_t length, std::vector<EventPiece>* pieces,
                      std::string* why);
// The directory that receives an event file's pieces: the name without its
// last '.' and what follows, or nothing when that is missing, empty or unsafe.
std::optional<std::string> pieceDirectory(std::string_view eventName);
void splitEventFile(Run& run, std::string_view name);
// The second pass: every name in ./eventsTable, dumped and cut into pieces.
void splitEventTable(Run& run);

}  // namespace orvex
