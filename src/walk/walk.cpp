#include "walk.h"

#include "file_io.h"

namespace orvex {
namespace {

// What the walk has reached, for the given names that come last.
using Reached = std::vector<bool>;

// A name from a list, the event table or a names file: refused names never
// reach the visitor, so no command writes or looks them up.
bool offerFile(const Store& store, NameVisitor& visitor, std::string_view name, Reached* reached,
               std::optional<int64_t> tied = std::nullopt) {
  if (name.empty()) return false;
  if (isUnsafeName(name)) {
    visitor.refused(name, "unsafe name (absolute or with a '..' part), skipped");
    return false;
  }
  const int64_t position = tied ? *tied : store.index.findPosition(hashName(name));
  if (position >= 0) (*reached)[static_cast<size_t>(position)] = true;
  visitor.file(name, position);
  return true;
}

// The event table the list pass writes: the first listed name that writes
// the output folder's eventsTable and whose entry reads.
struct ListedTable {
  std::string name;
  std::vector<uint8_t> bytes;
};

void walkNameList(const Store& store, NameVisitor& visitor, const std::string& listName,
                  std::vector<uint8_t>* list, std::optional<ListedTable>* listedTable,
                  Reached* reached) {
  if (isSkippedList(listName)) return;
  const Location where = locateFile(store, listName);
  if (where.position >= 0) (*reached)[static_cast<size_t>(where.position)] = true;
  visitor.listLookedUp(listName, where);
  if (where.status.code() == Status::Code::kNotFound) return;
  const Status read = readLocated(store, where, list);
  if (!read.isOk()) {
    visitor.warning(listName, read.message() + ", not read as a name list");
    return;
  }
  std::vector<std::string_view> names;
  std::string warning;
  const Status decoded = decodeNameList(list->data(), list->size(), &names, &warning);
  if (!decoded.isOk()) {
    visitor.warning(listName, decoded.message() + ", skipped");
    return;
  }
  if (!warning.empty()) visitor.warning(listName, warning);
  for (std::string_view name : names) {
    if (offerFile(store, visitor, name, reached) && !*listedTable && isEventTableName(name)) {
      ListedTable table{std::string(name), {}};
      if (readFile(store, name, &table.bytes).isOk()) *listedTable = std::move(table);
    }
  }
}

void walkEventFile(const Store& store, NameVisitor& visitor, std::string_view name,
                   Reached* reached) {
  if (!offerFile(store, visitor, name, reached)) return;
  std::vector<uint8_t> bytes;
  const Status read = visitor.readBack(name, &bytes);
  if (read.code() == Status::Code::kNotFound) return;  // neither present nor in the index
  if (!read.isOk()) {
    visitor.notCut(name, read.message() + ", not split");
    return;
  }
  const std::optional<std::string> dir = pieceDirectory(name);
  if (!dir) {
    visitor.notCut(name, "event file name gives no usable piece folder, not split");
    return;
  }
  std::vector<EventPiece> pieces;
  const Status decoded = decodeEventPieces(bytes.data(), bytes.size(), &pieces);
  if (!decoded.isOk()) {
    visitor.notCut(name, decoded.message() + ", not split");
    return;
  }
  visitor.pieces(name, *dir, bytes, pieces);
}

WalkSummary walkLists(const Store& store, NameVisitor& visitor, const WalkOptions& options,
                      Reached* reached);

// The names of names files, for the entries nothing before reached.
void walkGivenNames(const Store& store, NameVisitor& visitor, const std::vector<GivenName>& names,
                    Reached* reached) {
  const std::vector<IndexEntry>& entries = store.index.entries();
  for (const GivenName& given : names) {
    int64_t position = store.index.findPosition(hashName(given.name));
    if (given.position) {
      if (*given.position >= entries.size() ||
          entries[*given.position].hash != hashName(given.name)) {
        visitor.warning(given.source, "the name does not hash to entry " +
                                          std::to_string(*given.position) + "'s hash, not used");
        continue;
      }
      position = *given.position;
    }
    if (position < 0 || (*reached)[static_cast<size_t>(position)]) continue;
    offerFile(store, visitor, given.name, reached, position);
  }
}

WalkSummary walkLists(const Store& store, NameVisitor& visitor, const WalkOptions& options,
                      Reached* reached) {
  std::vector<uint8_t> list;
  std::optional<ListedTable> listedTable;
  for (const std::string& listName : nameListNames())
    walkNameList(store, visitor, listName, &list, &listedTable, reached);

  std::vector<uint8_t> table;
  std::string tableName = options.eventsTablePath.value_or(EVENTS_TABLE_NAME);
  Status read = options.eventsTablePath
                    ? io::readUserFile(*store.image.fs, *options.eventsTablePath, &table)
                    : visitor.readEventTable(&table);
  if (read.code() == Status::Code::kNotFound && !options.eventsTablePath && listedTable &&
      visitor.tableFromStore(listedTable->name)) {
    table = std::move(listedTable->bytes);
    read = Status::ok();
  }
  if (read.code() == Status::Code::kNotFound && !options.eventsTablePath &&
      options.storeTableByName) {
    read = readFile(store, EVENTS_TABLE_NAME, &table);
    tableName = "the store's " + tableName;
  }
  if (read.code() == Status::Code::kNotFound) return {};
  if (!read.isOk()) {
    visitor.tableUnreadable(tableName, read.message() + ", event pass skipped");
    return {};
  }
  for (std::string_view name : decodeEventsTable(table.data(), table.size()))
    walkEventFile(store, visitor, name, reached);
  return {true};
}

}  // namespace

WalkSummary walkNames(const Store& store, NameVisitor& visitor, const WalkOptions& options) {
  Reached reached(store.index.entries().size(), false);
  const WalkSummary summary = walkLists(store, visitor, options, &reached);
  walkGivenNames(store, visitor, options.givenNames, &reached);
  return summary;
}

std::vector<bool> writtenPieces(uint64_t length, const std::vector<EventPiece>& pieces,
                                const std::function<void(size_t, bool)>& skipped) {
  std::vector<bool> written(pieces.size(), false);
  uint64_t total = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const EventPiece& piece = pieces[i];
    const bool outside = piece.start > piece.end || piece.end > length;
    // Overlapping pieces could otherwise write the file many times over.
    if (outside || total + (piece.end - piece.start) > length) {
      if (skipped) skipped(i, outside);
      continue;
    }
    total += piece.end - piece.start;
    written[i] = true;
  }
  return written;
}

namespace {

class PieceFolderLearner : public NameVisitor {
 public:
  PieceFolderLearner(const Store& store,
                     const std::function<Status(std::vector<uint8_t>*)>& readTable)
      : store_(store), readTable_(readTable) {}

  void listLookedUp(std::string_view, const Location&) override {}
  void file(std::string_view name, int64_t) override { found.names.emplace_back(name); }
  Status readEventTable(std::vector<uint8_t>* bytes) override { return readTable_(bytes); }
  Status readBack(std::string_view name, std::vector<uint8_t>* bytes) override {
    return readFile(store_, name, bytes);
  }
  bool tableFromStore(std::string_view) override { return true; }
  void pieces(std::string_view eventName, const std::string& dir, const std::vector<uint8_t>&,
              const std::vector<EventPiece>&) override {
    found.eventByFolder[dir] = std::string(eventName);
  }
  void warning(std::string_view, std::string_view) override {}
  void tableUnreadable(std::string_view tableName, std::string_view reason) override {
    found.tableProblem = std::string(tableName) + ": " + std::string(reason);
  }

  PieceFolders found;

 private:
  const Store& store_;
  const std::function<Status(std::vector<uint8_t>*)>& readTable_;
};

}  // namespace

PieceFolders learnPieceFolders(const Store& store, const WalkOptions& options,
                               const std::function<Status(std::vector<uint8_t>*)>& readTable) {
  PieceFolderLearner learner(store, readTable);
  WalkOptions walk = options;
  walk.storeTableByName = true;
  learner.found.tableRead = walkNames(store, learner, walk).eventTableRead;
  return std::move(learner.found);
}

}  // namespace orvex
