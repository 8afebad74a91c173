// The walk of names: the one place that knows in which order a run learns
// names and tries them. menu.ard, then al00.ard .. zz99.ard (po07.ard and
// po32.ard are never read as lists) with every name each list holds, then
// the names in the event table, each followed by its event file's pieces.
// A visitor decides what each step does: the extractor writes, the listing
// only records.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store.h"

namespace orvex {

enum class NameSource { kList, kEventTable };

class NameVisitor {
 public:
  virtual ~NameVisitor() = default;

  // A list name was looked up; where says what it resolved to.
  virtual void listLookedUp(std::string_view listName, const Location& where) = 0;
  // A name the run writes as a file. Empty and unsafe names never get here.
  virtual void file(std::string_view name, NameSource source) = 0;
  // The event table ("eventsTable") or an event file, as the output folder
  // holds it once the names before it have been handled. kNotFound when
  // there is none.
  virtual Status readBack(std::string_view name, std::vector<uint8_t>* bytes) = 0;
  // The folder holds no event table, but a list named one (listedName):
  // whether the walk reads the store's copy, as the list pass would have
  // written it.
  virtual bool tableFromStore(std::string_view listedName) = 0;
  // An event file read back and cut: its pieces go to dir/NNN.mset.
  virtual void pieces(std::string_view eventName, const std::string& dir,
                      const std::vector<uint8_t>& bytes, const std::vector<EventPiece>& pieces) = 0;
  // Something in a list, the event table or an event file that the run
  // passes over.
  virtual void warning(std::string_view subject, std::string_view reason) = 0;
};

struct WalkOptions {
  // Read the event table from this path (relative to the current folder)
  // instead of reading "eventsTable" back from the output folder.
  std::optional<std::string> eventsTablePath;
};

void walkNames(const Store& store, NameVisitor& visitor, const WalkOptions& options = {});

// Every name the walk tries as a list, in order: menu.ard, then al00.ard ..
// zz99.ard, the two never read as lists included.
const std::vector<std::string>& nameListNames();
// Names that are tried but never read as lists.
bool isSkippedList(std::string_view listName);

// A name from the store is unsafe when it is absolute or has a ".."
// component: it could reach outside the output folder.
bool isUnsafeName(std::string_view name);

// The folder that receives an event file's pieces: the name without its
// last '.' and what follows, or nothing when that is missing, empty or
// unsafe.
std::optional<std::string> pieceDirectory(std::string_view eventName);
// Where piece number i of the pieces in dir goes: "dir/000.mset" and on.
std::string piecePath(const std::string& dir, size_t i);

// True when name, written into the output folder, is its event table:
// "eventsTable", possibly with "." parts and doubled slashes.
bool isEventTableName(std::string_view name);

// Reads a whole regular file by a path of the user's.
Status readUserFile(const std::string& path, std::vector<uint8_t>* bytes);

}  // namespace orvex
