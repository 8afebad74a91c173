#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "extract.h"
#include "files.h"
#include "catalog.h"

namespace orvex {
namespace {

constexpr size_t kEventRecordSize = 256;

const char* const kListPrefixes[] = {"al", "aw", "dc", "dh", "di", "ew", "he", "lm",
                                     "nm", "pc", "pi", "po", "pp", "tw", "tz", "zz"};

class Learner {
 public:
  explicit Learner(const Store& store) : store_(store) {
    reach_.names.resize(store.index.entries().size());
  }

  // A name the run looks up: record the entry it resolves to.
  void lookUp(std::string_view name) {
    const int64_t position = store_.index.findPosition(hashName(name));
    if (position < 0) return;
    std::string key(reinterpret_cast<const char*>(&position), sizeof position);
    key.append(name);
    if (seen_.insert(std::move(key)).second)
      reach_.names[static_cast<size_t>(position)].emplace_back(name);
  }

  // A name the run writes as a file; names it would refuse are never looked up.
  void fileName(std::string_view name) {
    if (name.empty() || isUnsafeName(name)) return;
    lookUp(name);
    if (!listEventTable_ && isEventTablePath(name)) {
      const ReadResult file = readFile(store_, name);
      if (file.status == ReadStatus::kFound) listEventTable_ = file.data;
    }
  }

  void nameList(std::string_view listName) {
    if (listName == "po07.ard" || listName == "po32.ard") return;
    lookUp(listName);
    const ReadResult list = readFile(store_, listName);
    if (list.status != ReadStatus::kFound) return;
    std::vector<std::string_view> names;
    std::string warning;
    if (!parseNameList(list.data.data(), list.data.size(), &names, &warning)) return;
    for (std::string_view name : names) fileName(name);
  }

  void eventTable(const std::string& path) {
    std::vector<uint8_t> table;
    std::string error;
    switch (readLocalFile(path, &table, &error)) {
      case ReadLocal::kOk:
        break;
      case ReadLocal::kMissing:
        // The list pass would have written the store's copy, if a list names one.
        if (!listEventTable_) return;
        table = std::move(*listEventTable_);
        reach_.notes.push_back("no " + path + " here; using the copy in the store");
        break;
      case ReadLocal::kNotAFile:
        reach_.notes.push_back(path + " is not a regular file; no event names used");
        return;
      case ReadLocal::kError:
        reach_.notes.push_back(path + ": " + (error.empty() ? "cannot open" : error) +
                               "; no event names used");
        return;
    }
    for (size_t offset = 0; offset < table.size(); offset += kEventRecordSize) {
      const size_t room = std::min(kEventRecordSize, table.size() - offset);
      const char* record = reinterpret_cast<const char*>(table.data() + offset);
      const void* nul = std::memchr(record, '\0', room);
      fileName(std::string_view(record, nul ? static_cast<const char*>(nul) - record : room));
    }
  }

  NameReach take() { return std::move(reach_); }

 private:
  // True when writing name creates ./eventsTable: "eventsTable", possibly
  // with "." parts and doubled slashes.
  static bool isEventTablePath(std::string_view name) {
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

  const Store& store_;
  NameReach reach_;
  std::unordered_set<std::string> seen_;  // position bytes + name
  // The first event table that the list pass would write.
  std::optional<std::vector<uint8_t>> listEventTable_;
};

}  // namespace

NameReach learnNames(const Store& store, const std::string& eventsTablePath) {
  Learner learner(store);
  learner.nameList("menu.ard");
  for (const char* prefix : kListPrefixes) {
    for (int i = 0; i < 100; ++i) {
      char listName[16];
      std::snprintf(listName, sizeof listName, "%s%02d.ard", prefix, i);
      learner.nameList(listName);
    }
  }
  learner.eventTable(eventsTablePath);
  return learner.take();
}

}  // namespace orvex
