// The rule book for names: which names the walk tries as lists, which names
// are never used, where an event file's pieces go, and which name is the
// event table. Every command that learns, writes or puts back names follows
// these rules.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

// The event table's name in the output folder, and the name the store's own
// copy is found by when no list names it.
constexpr char EVENTS_TABLE_NAME[] = "eventsTable";

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
// When name is a piece path as piecePath writes it, sets *dir and *number.
bool parsePiecePath(const std::string& name, std::string* dir, size_t* number);

// Where `unnamed` (and the mount) put an entry: the hash as eight uppercase hex digits,
// with "-N" when N earlier index entries share the hash.
std::string unnamedFileName(uint32_t hash, uint32_t earlierWithHash);

// True when name, written into the output folder, is its event table:
// "eventsTable", possibly with "." parts and doubled slashes.
bool isEventTableName(std::string_view name);

}  // namespace orvex
