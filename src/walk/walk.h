// The walk of names: the one place that knows in which order a run learns
// names and tries them. menu.ard, then al00.ard .. zz99.ard (po07.ard and
// po32.ard are never read as lists) with every name each list holds, then
// the names in the event table, each followed by its event file's pieces.
// A visitor decides what each step does: the extractor writes, the listing
// only records.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "names.h"
#include "names_file.h"
#include "store.h"

namespace orvex {

class NameVisitor {
 public:
  virtual ~NameVisitor() = default;

  // A list name was looked up; where says what it resolved to.
  virtual void listLookedUp(std::string_view listName, const Location& where) = 0;
  // A name the run writes as a file, and the index position it reaches (-1
  // for none). Empty and unsafe names never get here.
  virtual void file(std::string_view name, int64_t position) = 0;
  // The event table as the output folder holds it once the list pass is
  // done. kNotFound when there is none.
  virtual Status readEventTable(std::vector<uint8_t>* bytes) = 0;
  // An event file as the output folder holds it once the names before it
  // have been handled. kNotFound when there is none.
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
  // A name the walk will not offer (absolute, or with a '..' part): what a
  // run would have written under it is lost.
  virtual void refused(std::string_view name, std::string_view reason) { warning(name, reason); }
  // The event table is there but cannot be read (reason says why), so no
  // event file is cut.
  virtual void tableUnreadable(std::string_view tableName, std::string_view reason) {
    warning(tableName, reason);
  }
  // An event file that is there but cannot be cut into pieces.
  virtual void notCut(std::string_view eventName, std::string_view reason) {
    warning(eventName, reason);
  }
};

struct WalkOptions {
  // Read the event table from this path (relative to the current folder)
  // instead of reading "eventsTable" back from the output folder.
  std::optional<std::string> eventsTablePath;
  // When neither the folder nor a list gives an event table, read the
  // store's entry named "eventsTable" (a run has no such fallback: a file
  // no list names is never written).
  bool storeTableByName = false;
  // Names from names files, tried after the walk's own: each reaches the
  // entry a lookup gives (or the one it is tied to) when no name of the
  // walk's reaches it.
  std::vector<GivenName> givenNames;
};

struct WalkSummary {
  bool eventTableRead = false;  // an event table was found and read
};

WalkSummary walkNames(const Store& store, NameVisitor& visitor, const WalkOptions& options = {});

// Which pieces of an event file of length bytes a run writes: those that lie
// inside the file, and no more in all than the file's own length (however
// their offsets overlap). skipped(i, outside) tells of each other one:
// outside the file, or past its length in all.
std::vector<bool> writtenPieces(uint64_t length, const std::vector<EventPiece>& pieces,
                                const std::function<void(size_t, bool)>& skipped = {});

// The event files a walk of the disc alone learns, by the folder their
// pieces go to: the event table as options say, else readTable's (a
// folder's own), else the one a list names in the store, else the store's
// entry named eventsTable; event files read from the store.
struct PieceFolders {
  std::map<std::string, std::string> eventByFolder;  // piece folder -> event file
  std::vector<std::string> names;                    // every name offered, in walk order
  bool tableRead = false;
  std::string tableProblem;  // why no event table was read, when one could not be
};
PieceFolders learnPieceFolders(const Store& store, const WalkOptions& options,
                               const std::function<Status(std::vector<uint8_t>*)>& readTable);

}  // namespace orvex
