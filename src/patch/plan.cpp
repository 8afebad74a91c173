#include <algorithm>
#include <map>

#include "changes.h"
#include "patch.h"
#include "walk.h"

namespace orvex {
namespace {

constexpr char kEventTableName[] = "eventsTable";

uint64_t roundUpToSector(uint64_t n) { return (n + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE; }

// The new content of one entry and what it came from.
struct Edit {
  std::string name;
  std::vector<size_t> pieces;
  std::vector<uint8_t> content;
};

// When name is "DIR/NNN.mset" as piecePath writes it, sets *dir and *number.
bool parsePieceName(const std::string& name, std::string* dir, size_t* number) {
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos || slash == 0) return false;
  const std::string leaf = name.substr(slash + 1);
  constexpr std::string_view kSuffix = ".mset";
  if (leaf.size() <= kSuffix.size() || !leaf.ends_with(kSuffix)) return false;
  const std::string digits = leaf.substr(0, leaf.size() - kSuffix.size());
  if (digits.size() > 9 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  *dir = name.substr(0, slash);
  *number = std::stoul(digits);
  return piecePath(*dir, *number) == name;
}

class Planner {
 public:
  Planner(const Store& store, const PatchOptions& options, std::vector<std::string>* problems)
      : store_(store), options_(options), problems_(problems) {}

  Status plan(const std::string& changesDir, PatchPlan* plan);

 private:
  void problem(const std::string& subject, const std::string& what) {
    problems_->push_back(subject + ": " + what);
  }
  void loadEventTable(const std::vector<ChangedFile>& files);
  void addWholeFile(const ChangedFile& file, const Location& where);
  void addPieces(const std::string& eventName, const std::map<size_t, const ChangedFile*>& pieces);
  void addEdit(size_t position, Edit edit);
  bool encode(const Edit& edit, EntryChange* change);
  void place(PatchPlan* plan);

  const Store& store_;
  const PatchOptions& options_;
  std::vector<std::string>* problems_;
  // The event table, when one was found, and what it was read from.
  std::optional<std::vector<uint8_t>> eventTable_;
  std::string eventTableProblem_;
  std::map<size_t, Edit> edits_;  // by index position
};

void Planner::loadEventTable(const std::vector<ChangedFile>& files) {
  std::vector<uint8_t> bytes;
  if (options_.eventsTablePath) {
    const Status read = readUserFile(*options_.eventsTablePath, &bytes);
    if (!read.isOk()) return problem(*options_.eventsTablePath, read.message());
    eventTable_ = std::move(bytes);
    return;
  }
  for (const ChangedFile& file : files) {
    if (file.name != kEventTableName) continue;
    const Status read = readUserFile(file.path, &bytes);
    if (!read.isOk()) return problem(file.name, read.message());
    eventTable_ = std::move(bytes);
    return;
  }
  const Status read = readFile(store_, kEventTableName, &bytes);
  if (read.isOk())
    eventTable_ = std::move(bytes);
  else if (read.code() != Status::Code::kNotFound)
    eventTableProblem_ = "the store's eventsTable cannot be read: " + read.message();
}

void Planner::addEdit(size_t position, Edit edit) {
  const auto [it, added] = edits_.try_emplace(position, std::move(edit));
  if (!added)
    problem(edit.name, "reaches entry " + std::to_string(position) + ", as " + it->second.name +
                           " does; only one file may change an entry");
}

void Planner::addWholeFile(const ChangedFile& file, const Location& where) {
  if (!where.status.isOk())
    return problem(file.name, "entry " + std::to_string(where.position) + ": " +
                                  where.status.message() + "; it cannot be patched");
  std::vector<uint8_t> current;
  const Status stored = readLocated(store_, where, &current);
  if (!stored.isOk())
    return problem(file.name, "entry " + std::to_string(where.position) + ": " + stored.message() +
                                  "; it cannot be patched");
  Edit edit{file.name, {}, {}};
  const Status read = readUserFile(file.path, &edit.content);
  if (!read.isOk()) return problem(file.name, read.message());
  if (edit.content == current) return;
  addEdit(static_cast<size_t>(where.position), std::move(edit));
}

void Planner::addPieces(const std::string& eventName,
                        const std::map<size_t, const ChangedFile*>& edited) {
  const Location where = locateFile(store_, eventName);
  if (!where.status.isOk())
    return problem(eventName, "event file with edited pieces: " + where.status.message());
  std::vector<uint8_t> current;
  const Status stored = readLocated(store_, where, &current);
  if (!stored.isOk()) return problem(eventName, "event file: " + stored.message());
  std::vector<EventPiece> pieces;
  const Status decoded = decodeEventPieces(current.data(), current.size(), &pieces);
  if (!decoded.isOk()) return problem(eventName, decoded.message());
  uint64_t previous = EVENT_HEADER_SIZE + 4 * uint64_t{pieces.size()};
  for (const EventPiece& piece : pieces) {
    if (piece.start < previous || piece.start > current.size())
      return problem(
          eventName,
          "piece offsets out of order or outside the file; its pieces cannot be put back");
    previous = piece.start;
  }
  bool refused = false;
  for (const auto& [number, file] : edited) {
    if (number >= pieces.size()) {
      problem(file->name, "piece " + std::to_string(number) + ", but " + eventName + " has only " +
                              std::to_string(pieces.size()) + " pieces");
      refused = true;
    }
  }
  if (refused) return;

  Edit edit{eventName, {}, {}};
  const size_t firstStart = pieces.empty() ? current.size() : pieces[0].start;
  edit.content.assign(current.begin(), current.begin() + firstStart);
  std::vector<uint32_t> starts;
  std::vector<uint8_t> piece;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const auto begin = current.begin() + pieces[i].start;
    const auto end = current.begin() + pieces[i].end;
    starts.push_back(static_cast<uint32_t>(edit.content.size()));
    const auto it = edited.find(i);
    if (it == edited.end()) {
      edit.content.insert(edit.content.end(), begin, end);
      continue;
    }
    const Status read = readUserFile(it->second->path, &piece);
    if (!read.isOk()) return problem(it->second->name, read.message());
    if (!std::equal(piece.begin(), piece.end(), begin, end)) edit.pieces.push_back(i);
    edit.content.insert(edit.content.end(), piece.begin(), piece.end());
    if (edit.content.size() > UINT32_MAX)
      return problem(eventName, "rebuilt from its pieces it would pass 4 GiB");
  }
  if (edit.pieces.empty()) return;
  const Status rewritten = rewriteEventStarts(starts, &edit.content);
  if (!rewritten.isOk()) return problem(eventName, rewritten.message());
  const auto whole = edits_.find(static_cast<size_t>(where.position));
  if (whole != edits_.end() && whole->second.pieces.empty())
    return problem(eventName,
                   "changed both as a whole and through its pieces; keep only one of the two");
  addEdit(static_cast<size_t>(where.position), std::move(edit));
}

bool Planner::encode(const Edit& edit, EntryChange* change) {
  const std::vector<uint8_t>& data = edit.content;
  const bool wantCompressed =
      options_.form == PatchForm::kCompress ||
      (options_.form == PatchForm::kKeep && (change->before.flags & FLAG_COMPRESSED));
  bool compressed = false;
  if (wantCompressed) {
    if (data.size() > MAX_COMPRESSED_LENGTH) {
      if (options_.form == PatchForm::kCompress) {
        problem(edit.name, std::to_string(data.size()) + " bytes, over the " +
                               std::to_string(MAX_COMPRESSED_LENGTH) +
                               " a compressed entry can hold; patch without --compress");
        return false;
      }
    } else if (compress(data.data(), data.size(), &change->stored)) {
      compressed = true;
    } else if (options_.form == PatchForm::kCompress) {
      problem(edit.name, "the encoder cannot make a stream for it; patch without --compress");
      return false;
    }
  }
  if (!compressed) change->stored = data;
  if (change->stored.size() > UINT32_MAX) {
    problem(edit.name, "over the 4 GiB a stored entry can hold");
    return false;
  }
  change->after.flags =
      compressed ? change->before.flags | FLAG_COMPRESSED : change->before.flags & ~FLAG_COMPRESSED;
  change->after.size = static_cast<uint32_t>(change->stored.size());
  return true;
}

// Rewrites a change in its own sectors when its new bytes fit there and no
// other entry's stored bytes share them; appends the rest after the image's
// end, each on a sector boundary.
void Planner::place(PatchPlan* plan) {
  const std::vector<IndexEntry>& entries = store_.index.entries();
  const uint32_t base = store_.image.baseSector;
  const uint64_t imageSize = store_.image.size;
  uint64_t cursor = roundUpToSector(imageSize);
  plan->newImageSize = imageSize;
  for (EntryChange& change : plan->changes) {
    const uint64_t start = sectorOffset(change.before.sector, base);
    const uint64_t end = start + change.before.size;
    const uint64_t room = std::max(end, std::min(roundUpToSector(end), imageSize));
    bool shared = false;
    for (size_t i = 0; i < entries.size() && !shared && !options_.inPlace; ++i) {
      if (i == change.position || entries[i].size == 0) continue;
      const uint64_t otherStart = sectorOffset(entries[i].sector, base);
      shared = otherStart < room && otherStart + entries[i].size > start;
    }
    if (!options_.inPlace && !shared && change.stored.size() <= room - start) {
      change.ownSectors = true;
      change.offset = start;
      continue;
    }
    change.offset = cursor;
    if (!change.stored.empty()) {
      cursor += roundUpToSector(change.stored.size());
      plan->newImageSize = cursor;
    }
    const uint64_t sector = change.offset / SECTOR_SIZE;
    change.after.sector = static_cast<uint32_t>(sector - base);
    if (sector > UINT32_MAX)
      problem(change.name, "the image would grow past the last sector a record can name");
    else if (change.after.sector == 0)
      problem(change.name, "it would go to sector 0, which no lookup returns");
  }
}

Status Planner::plan(const std::string& changesDir, PatchPlan* plan) {
  std::vector<ChangedFile> files;
  const Status listed = listChangedFiles(changesDir, &files, problems_);
  if (!listed.isOk()) return listed;
  loadEventTable(files);

  // The piece folders of the event files the table names.
  std::map<std::string, std::string> eventByFolder;
  if (eventTable_) {
    for (std::string_view name : decodeEventsTable(eventTable_->data(), eventTable_->size()))
      if (const auto dir = pieceDirectory(name)) eventByFolder[*dir] = std::string(name);
  }

  std::map<std::string, std::map<size_t, const ChangedFile*>> pieces;  // by event file
  for (const ChangedFile& file : files) {
    std::string dir;
    size_t number = 0;
    const bool pieceName = parsePieceName(file.name, &dir, &number);
    if (pieceName) {
      const auto event = eventByFolder.find(dir);
      if (event != eventByFolder.end()) {
        pieces[event->second][number] = &file;
        continue;
      }
    }
    const Location where = locateFile(store_, file.name);
    if (where.entry) {
      addWholeFile(file, where);
    } else if (file.name == kEventTableName) {
      // Only the table that places pieces; the store holds none to change.
    } else if (pieceName && !eventTable_) {
      problem(file.name, "a piece, but no event table places it; pass --events FILE" +
                             (eventTableProblem_.empty() ? "" : " (" + eventTableProblem_ + ")"));
    } else {
      problem(file.name, pieceName ? "no index entry has this name's hash, and no event file in "
                                     "the event table has its folder"
                                   : "no index entry has this name's hash");
    }
  }
  for (const auto& [eventName, edited] : pieces) addPieces(eventName, edited);

  plan->imageSize = store_.image.size;
  plan->index = store_.index.entries();
  for (auto& [position, edit] : edits_) {
    EntryChange change;
    change.name = edit.name;
    change.pieces = edit.pieces;
    change.position = position;
    change.before = change.after = plan->index[position];
    if (encode(edit, &change)) plan->changes.push_back(std::move(change));
  }
  place(plan);
  for (const EntryChange& change : plan->changes) plan->index[change.position] = change.after;
  if (!problems_->empty()) return Status::invalid("the patch was refused");
  return Status::ok();
}

}  // namespace

size_t PatchPlan::rewrittenInOwnSectors() const {
  return static_cast<size_t>(std::count_if(changes.begin(), changes.end(),
                                           [](const EntryChange& c) { return c.ownSectors; }));
}

Status planPatch(const Store& store, const std::string& changesDir, const PatchOptions& options,
                 PatchPlan* plan, std::vector<std::string>* problems) {
  *plan = PatchPlan{};
  return Planner(store, options, problems).plan(changesDir, plan);
}

}  // namespace orvex
