#include "walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace orvex {
namespace {

const char* const kListPrefixes[] = {"al", "aw", "dc", "dh", "di", "ew", "he", "lm",
                                     "nm", "pc", "pi", "po", "pp", "tw", "tz", "zz"};

// A name from a list or the event table: refused names never reach the
// visitor, so no command writes or looks them up.
bool offerFile(NameVisitor& visitor, std::string_view name, NameSource source) {
  if (name.empty()) return false;
  if (isUnsafeName(name)) {
    visitor.warning(name, "unsafe name (absolute or with a '..' part), skipped");
    return false;
  }
  visitor.file(name, source);
  return true;
}

// The event table the list pass writes: the first listed name that writes
// the output folder's eventsTable and whose entry reads.
struct ListedTable {
  std::string name;
  std::vector<uint8_t> bytes;
};

void walkNameList(const Store& store, NameVisitor& visitor, const std::string& listName,
                  std::vector<uint8_t>* list, std::optional<ListedTable>* listedTable) {
  if (isSkippedList(listName)) return;
  const Location where = locateFile(store, listName);
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
    if (offerFile(visitor, name, NameSource::kList) && !*listedTable && isEventTableName(name)) {
      ListedTable table{std::string(name), {}};
      if (readFile(store, name, &table.bytes).isOk()) *listedTable = std::move(table);
    }
  }
}

void walkEventFile(NameVisitor& visitor, std::string_view name) {
  if (!offerFile(visitor, name, NameSource::kEventTable)) return;
  std::vector<uint8_t> bytes;
  const Status read = visitor.readBack(name, &bytes);
  if (read.code() == Status::Code::kNotFound) return;  // neither present nor in the index
  if (!read.isOk()) {
    visitor.warning(name, read.message() + ", not split");
    return;
  }
  const std::optional<std::string> dir = pieceDirectory(name);
  if (!dir) {
    visitor.warning(name, "event file name gives no usable piece folder, not split");
    return;
  }
  std::vector<EventPiece> pieces;
  const Status decoded = decodeEventPieces(bytes.data(), bytes.size(), &pieces);
  if (!decoded.isOk()) {
    visitor.warning(name, decoded.message() + ", not split");
    return;
  }
  visitor.pieces(name, *dir, bytes, pieces);
}

}  // namespace

const std::vector<std::string>& nameListNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all = {"menu.ard"};
    for (const char* prefix : kListPrefixes) {
      for (int i = 0; i < 100; ++i) {
        char listName[16];
        std::snprintf(listName, sizeof listName, "%s%02d.ard", prefix, i);
        all.emplace_back(listName);
      }
    }
    return all;
  }();
  return names;
}

bool isSkippedList(std::string_view listName) {
  return listName == "po07.ard" || listName == "po32.ard";
}

void walkNames(const Store& store, NameVisitor& visitor, const WalkOptions& options) {
  std::vector<uint8_t> list;
  std::optional<ListedTable> listedTable;
  for (const std::string& listName : nameListNames())
    walkNameList(store, visitor, listName, &list, &listedTable);

  std::vector<uint8_t> table;
  const std::string tableName = options.eventsTablePath.value_or("eventsTable");
  Status read = options.eventsTablePath ? readUserFile(*options.eventsTablePath, &table)
                                        : visitor.readBack(tableName, &table);
  if (read.code() == Status::Code::kNotFound && !options.eventsTablePath && listedTable &&
      visitor.tableFromStore(listedTable->name)) {
    table = std::move(listedTable->bytes);
    read = Status::ok();
  }
  if (read.code() == Status::Code::kNotFound) return;
  if (!read.isOk()) {
    visitor.warning(tableName, read.message() + ", event pass skipped");
    return;
  }
  for (std::string_view name : decodeEventsTable(table.data(), table.size()))
    walkEventFile(visitor, name);
}

bool isUnsafeName(std::string_view name) {
  if (!name.empty() && name.front() == '/') return true;
  size_t start = 0;
  for (;;) {
    const size_t slash = name.find('/', start);
    if (name.substr(start, slash - start) == "..") return true;
    if (slash == std::string_view::npos) return false;
    start = slash + 1;
  }
}

std::optional<std::string> pieceDirectory(std::string_view eventName) {
  const size_t dot = eventName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view dir = eventName.substr(0, dot);
  if (isUnsafeName(dir)) return std::nullopt;
  return std::string(dir);
}

std::string piecePath(const std::string& dir, size_t i) {
  char number[32];
  std::snprintf(number, sizeof number, "/%03zu.mset", i);
  return dir + number;
}

bool isEventTableName(std::string_view name) {
  const size_t slash = name.rfind('/');
  if (name.substr(slash + 1) != "eventsTable") return false;
  if (slash == std::string_view::npos) return true;
  for (size_t start = 0; start <= slash;) {
    const size_t end = name.find('/', start);
    const std::string_view part = name.substr(start, end - start);
    if (!part.empty() && part != ".") return false;
    start = end + 1;
  }
  return true;
}

Status readUserFile(const std::string& path, std::vector<uint8_t>* bytes) {
  bytes->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return Status::notFound("no such file");
    return Status::fromErrno("cannot open", errno);
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return Status::invalid("not a regular file");
  }
  bytes->resize(static_cast<size_t>(st.st_size));
  size_t have = 0;
  while (have < bytes->size()) {
    const ssize_t got = read(fd, bytes->data() + have, bytes->size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int err = errno;
      close(fd);
      return Status::fromErrno("cannot read", err);
    }
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  bytes->resize(have);
  close(fd);
  return Status::ok();
}

}  // namespace orvex
