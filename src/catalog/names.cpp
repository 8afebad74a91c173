#include <algorithm>
#include <string>
#include <unordered_set>

#include "catalog.h"

namespace orvex {
namespace {

// Follows the walk of a run in the folder without writing: each name looked
// up is recorded against the entry it resolves to.
class Learner : public NameVisitor {
 public:
  Learner(const Store& store, OutputDir* folder) : folder_(folder) {
    reach_.names.resize(store.index.entries().size());
  }

  void listLookedUp(std::string_view listName, const Location& where) override {
    record(where.position, listName);
  }

  void file(std::string_view name, int64_t position) override { record(position, name); }

  Status readEventTable(std::vector<uint8_t>* bytes) override {
    if (!folder_) return Status::notFound("no folder");
    const Status status = folder_->readFile(EVENTS_TABLE_NAME, bytes);
    if (!status.isOk() && status.code() != Status::Code::kNotFound)
      reach_.notes.add(EVENTS_TABLE_NAME, status.message() + "; no event names used");
    return status;
  }

  // Pieces give no names: event files are not worth reading.
  Status readBack(std::string_view, std::vector<uint8_t>*) override {
    return Status::notFound("not read");
  }

  bool tableFromStore(std::string_view listedName) override {
    reach_.notes.add("no eventsTable in the folder; using the copy in the store (" +
                     std::string(listedName) + ")");
    return true;
  }

  void pieces(std::string_view, const std::string&, const std::vector<uint8_t>&,
              const std::vector<EventPiece>&) override {}
  void warning(std::string_view, std::string_view) override {}

  NameReach take() { return std::move(reach_); }

 private:
  void record(int64_t position, std::string_view name) {
    if (position < 0) return;
    std::string key(reinterpret_cast<const char*>(&position), sizeof position);
    key.append(name);
    if (seen_.insert(std::move(key)).second)
      reach_.names[static_cast<size_t>(position)].emplace_back(name);
  }

  OutputDir* folder_;
  NameReach reach_;
  std::unordered_set<std::string> seen_;  // position bytes + name
};

}  // namespace

uint64_t NameReach::entriesReached() const {
  return static_cast<uint64_t>(std::count_if(
      names.begin(), names.end(), [](const std::vector<std::string>& n) { return !n.empty(); }));
}

NameReach learnNames(const Store& store, OutputDir* folder, const WalkOptions& options) {
  Learner learner(store, folder);
  walkNames(store, learner, options);
  NameReach reach = learner.take();
  // An entry whose only name came from a names file says which line.
  reach.givenBy.resize(reach.names.size());
  for (const GivenName& given : options.givenNames) {
    const int64_t position =
        given.position ? *given.position : store.index.findPosition(hashName(given.name));
    if (position < 0 || static_cast<size_t>(position) >= reach.names.size()) continue;
    const std::vector<std::string>& names = reach.names[static_cast<size_t>(position)];
    if (names.size() == 1 && names[0] == given.name)
      reach.givenBy[static_cast<size_t>(position)] = given.source;
  }
  return reach;
}

}  // namespace orvex
