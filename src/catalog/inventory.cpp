#include "catalog.h"

namespace orvex {
namespace {

// Fills in decodedSize and problem. Returns what is wrong with the entry's
// bytes (kNeverFound, kPastEnd or kDamaged), or kOk when they read and decode.
EntryState examine(const Store& store, EntryRow* row) {
  const IndexEntry& e = row->entry;
  if (e.sector == 0) {
    row->problem = "never found (sector 0)";
    return EntryState::kNeverFound;
  }
  const Location where = locateEntry(store, row->position);
  if (!where.status.isOk()) {
    row->problem = where.status.message();
    return EntryState::kPastEnd;
  }
  if (!(e.flags & FLAG_COMPRESSED)) return EntryState::kOk;
  row->decodedSize = statedLength(store, where);
  std::vector<uint8_t> decoded;
  const Status read = readLocated(store, where, &decoded);
  if (read.isOk()) return EntryState::kOk;
  row->problem = read.message();
  return EntryState::kDamaged;
}

EntryState decideState(const Store& store, const EntryRow& row, EntryState fault) {
  if (fault == EntryState::kNeverFound) return fault;
  // A name tied to a shadowed entry by a names file reaches it after all.
  if (store.index.findPosition(row.entry.hash) != row.position && row.names.empty())
    return EntryState::kShadowed;
  if (fault != EntryState::kOk) return fault;
  return row.names.empty() ? EntryState::kUnnamed : EntryState::kOk;
}

}  // namespace

const char* stateName(EntryState state) {
  switch (state) {
    case EntryState::kNeverFound:
      return "never-found";
    case EntryState::kShadowed:
      return "shadowed";
    case EntryState::kPastEnd:
      return "past-end";
    case EntryState::kDamaged:
      return "damaged";
    case EntryState::kUnnamed:
      return "unnamed";
    case EntryState::kOk:
      return "ok";
  }
  return "?";
}

Inventory takeInventory(const Store& store, NameReach reach) {
  Inventory inventory;
  inventory.notes = std::move(reach.notes);
  const std::vector<IndexEntry>& entries = store.index.entries();
  inventory.rows.resize(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EntryRow& row = inventory.rows[i];
    row.position = static_cast<uint32_t>(i);
    row.entry = entries[i];
    if (i < reach.names.size()) row.names = std::move(reach.names[i]);
    if (i < reach.givenBy.size()) row.givenBy = std::move(reach.givenBy[i]);
    row.state = decideState(store, row, examine(store, &row));
    StateTotal& total = inventory.totals[static_cast<int>(row.state)];
    ++total.entries;
    total.storedBytes += row.entry.size;
  }
  return inventory;
}

}  // namespace orvex
