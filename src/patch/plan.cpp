#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string_view>

#include "changes.h"
#include "file_io.h"
#include "file_names.h"
#include "number_text.h"
#include "patch.h"
#include "sector_writer.h"
#include "walk.h"

namespace orvex {
namespace {

// A piece's number as its file name writes it.
std::string pieceNumber(size_t piece) {
  char number[32];
  std::snprintf(number, sizeof number, "%03zu", piece);
  return number;
}

// The hash and the number of earlier entries with it that the name of a
// file unnamed wrote gives; false when unnamed would not write the name.
bool parseUnnamedName(const std::string& name, uint32_t* hash, uint32_t* earlier) {
  if (!name.ends_with(".bin")) return false;
  const std::string_view stem = std::string_view(name).substr(0, name.size() - 4);
  const std::optional<uint64_t> hashValue = parseNumber(stem.substr(0, 8), UINT32_MAX, 16);
  if (!hashValue) return false;
  *hash = static_cast<uint32_t>(*hashValue);
  *earlier = 0;
  if (stem.size() > 8) {
    // HASH-N counts from 1.
    const std::optional<uint64_t> count =
        stem[8] == '-' ? parseNumber(stem.substr(9), UINT32_MAX) : std::nullopt;
    if (!count || *count == 0) return false;
    *earlier = static_cast<uint32_t>(*count);
  }
  return unnamedFileName(*hash, *earlier) == name;
}

// "; HINT", or nothing without one.
std::string withHint(const std::string& hint) { return hint.empty() ? "" : "; " + hint; }

uint64_t roundUpToSector(uint64_t n) { return (n + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE; }

// The new content of one entry and what it came from.
struct Edit {
  std::string name;
  std::vector<size_t> pieces;
  std::vector<uint8_t> content;
};

class Planner {
 public:
  Planner(const Store& store, const PatchOptions& options, Problems* problems)
      : store_(store), options_(options), problems_(problems) {}

  Status plan(const std::string& changesDir, PatchPlan* plan);

 private:
  void problem(const std::string& subject, const std::string& what) {
    problems_->add(subject, what);
  }
  // Where a name of the changes folder leads: a name tied to an entry by a
  // names file, that entry; else what a lookup gives.
  Location locate(const std::string& name) const {
    const auto tied = tied_.find(name);
    if (tied != tied_.end() && tied->second < store_.index.entries().size())
      return locateEntry(store_, tied->second);
    return locateFile(store_, name);
  }
  void addUnnamed(const std::string& dir, std::vector<ChangedFile>* files);
  // Adds the file as an edit when it differs from the disc's; true, with
  // its bytes in *same when given, when it is equal.
  bool addWholeFile(const ChangedFile& file, const Location& where,
                    std::vector<uint8_t>* same = nullptr);
  void addPieces(const std::string& eventName, const std::map<size_t, const ChangedFile*>& pieces);
  void checkPiecesAgree(const std::string& eventName, const Edit& whole,
                        const std::map<size_t, const ChangedFile*>& pieces);
  void addEdit(size_t position, Edit edit);
  bool encode(const Edit& edit, EntryChange* change);
  void place(PatchPlan* plan);
  void checkSectors(PatchPlan* plan);
  void checkIndexExtent(const PatchPlan& plan);

  const Store& store_;
  const PatchOptions& options_;
  Problems* problems_;
  std::map<size_t, Edit> edits_;          // by index position
  std::map<std::string, uint32_t> tied_;  // names tied to entries by names files
  // Files of the changes folder equal to the disc's, by index position.
  std::map<size_t, std::pair<std::string, std::vector<uint8_t>>> unchanged_;
  std::vector<PieceDisagreement> disagreements_;
  std::vector<StaleEventFile> stale_;
};

// The files of a folder named as `unnamed` names them: HASH.bin for the
// first entry with the hash, HASH-N.bin for the one N entries later.
void Planner::addUnnamed(const std::string& dir, std::vector<ChangedFile>* files) {
  if (Status s = listChangedFiles(*store_.image.fs, dir, files, problems_); !s.isOk())
    return problem(dir, s.message());
  const std::vector<IndexEntry>& entries = store_.index.entries();
  for (const ChangedFile& file : *files) {
    const std::string& name = file.name;
    uint32_t hash = 0, earlier = 0;
    if (!parseUnnamedName(name, &hash, &earlier)) {
      problem(dir + "/" + name, "not named as unnamed names files (HASH.bin or HASH-N.bin)");
      continue;
    }
    int64_t position = -1;
    for (size_t i = 0, seen = 0; i < entries.size() && position < 0; ++i)
      if (entries[i].hash == hash && seen++ == earlier) position = static_cast<int64_t>(i);
    if (position < 0) {
      problem(dir + "/" + name, "no such index entry");
      continue;
    }
    ChangedFile named = file;
    named.name = dir + "/" + name;
    addWholeFile(named, locateEntry(store_, static_cast<size_t>(position)));
  }
}

void Planner::addEdit(size_t position, Edit edit) {
  const auto [it, added] = edits_.try_emplace(position, std::move(edit));
  if (!added)
    problem(edit.name, "reaches entry " + std::to_string(position) + ", as " + it->second.name +
                           " does; only one file may change an entry");
}

bool Planner::addWholeFile(const ChangedFile& file, const Location& where,
                           std::vector<uint8_t>* same) {
  if (!where.status.isOk()) {
    problem(file.name, "entry " + std::to_string(where.position) + ": " + where.status.message() +
                           "; it cannot be patched");
    return false;
  }
  std::vector<uint8_t> current;
  const Status stored = readLocated(store_, where, &current);
  if (!stored.isOk()) {
    problem(file.name, "entry " + std::to_string(where.position) + ": " + stored.message() +
                           "; it cannot be patched");
    return false;
  }
  Edit edit{file.name, {}, {}};
  const Status read = io::readUserFile(*store_.image.fs, file.path, &edit.content);
  if (!read.isOk()) {
    problem(file.name, read.message());
    return false;
  }
  if (edit.content == current) {
    if (same) *same = std::move(current);
    return true;
  }
  addEdit(static_cast<size_t>(where.position), std::move(edit));
  return false;
}

void Planner::addPieces(const std::string& eventName,
                        const std::map<size_t, const ChangedFile*>& edited) {
  const Location where = locate(eventName);
  if (!where.status.isOk())
    return problem(eventName, "event file with edited pieces: " + where.status.message());
  // The file differs from the disc's too: it is the change when the pieces
  // are its own cut, else the two disagree.
  const auto whole = edits_.find(static_cast<size_t>(where.position));
  if (whole != edits_.end() && whole->second.pieces.empty())
    return checkPiecesAgree(eventName, whole->second, edited);
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
      const std::string has = pieces.empty() ? "no pieces"
                              : pieces.size() == 1
                                  ? "only piece 000"
                                  : "only " + std::to_string(pieces.size()) + " pieces (000 to " +
                                        pieceNumber(pieces.size() - 1) + ")";
      problem(file->name, pieceNumbers({number}) + ", but " + eventName + " has " + has);
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
    const Status read = io::readUserFile(*store_.image.fs, it->second->path, &piece);
    if (!read.isOk()) return problem(it->second->name, read.message());
    if (!std::equal(piece.begin(), piece.end(), begin, end)) edit.pieces.push_back(i);
    edit.content.insert(edit.content.end(), piece.begin(), piece.end());
    if (edit.content.size() > UINT32_MAX)
      return problem(eventName, "rebuilt from its pieces it would pass 4 GiB");
  }
  if (edit.pieces.empty()) return;
  const Status rewritten = rewriteEventStarts(starts, &edit.content);
  if (!rewritten.isOk()) return problem(eventName, rewritten.message());
  const auto same = unchanged_.find(static_cast<size_t>(where.position));
  if (same != unchanged_.end())
    stale_.push_back(
        {eventName, same->second.first, edit.pieces, same->second.second, edit.content});
  addEdit(static_cast<size_t>(where.position), std::move(edit));
}

void Planner::checkPiecesAgree(const std::string& eventName, const Edit& whole,
                               const std::map<size_t, const ChangedFile*>& edited) {
  const std::vector<uint8_t>& file = whole.content;
  std::vector<EventPiece> cut;
  const bool cuts = decodeEventPieces(file.data(), file.size(), &cut).isOk();
  std::vector<size_t> differing;
  std::vector<uint8_t> piece;
  for (const auto& [number, changed] : edited) {
    const Status read = io::readUserFile(*store_.image.fs, changed->path, &piece);
    if (!read.isOk()) return problem(changed->name, read.message());
    const bool same = cuts && number < cut.size() && cut[number].start <= cut[number].end &&
                      cut[number].end <= file.size() &&
                      std::equal(piece.begin(), piece.end(), file.begin() + cut[number].start,
                                 file.begin() + cut[number].end);
    if (!same) differing.push_back(number);
  }
  if (differing.empty()) return;
  problem(whole.name, "differs from the disc's, and its " + pieceNumbers(differing) +
                          (differing.size() == 1 ? " differs" : " differ") +
                          " from its own cut: the two disagree");
  disagreements_.push_back({eventName, whole.name, differing});
}

bool Planner::encode(const Edit& edit, EntryChange* change) {
  const std::vector<uint8_t>& data = edit.content;
  const bool compressed = encodeForStore(data.data(), data.size(), options_.form,
                                         change->before.flags & FLAG_COMPRESSED, &change->stored);
  if (!compressed && options_.form == StoredForm::kCompress) {
    problem(edit.name,
            (data.size() > MAX_COMPRESSED_LENGTH
                 ? std::to_string(data.size()) + " bytes, over the " +
                       std::to_string(MAX_COMPRESSED_LENGTH) + " a compressed entry can hold"
                 : std::string("the encoder cannot make a stream for it")) +
                withHint(options_.withoutCompressionHint));
    return false;
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

// The track that follows the data track in its file, as "track N (MODE)".
std::string trackAfterData(const SectorImage& image) {
  const std::vector<RawTrackFacts>& tracks = image.tracks();
  for (size_t data = 0; data < tracks.size(); ++data) {
    const std::string& mode = tracks[data].mode;
    if (mode != "MODE1/2352" && mode != "MODE2/2352" && mode != "MODE1/2048") continue;
    for (size_t i = data + 1; i < tracks.size(); ++i)
      if (tracks[i].fileName == tracks[data].fileName)
        return "track " + std::to_string(tracks[i].number) + " (" + tracks[i].mode + ")";
    break;
  }
  return "a later track";
}

// What the image's sectors allow: a raw image's entry is rewritten only in
// Mode 1 and Mode 2 Form 1 sectors, and an image grows only where its data
// track ends its file.
void Planner::checkSectors(PatchPlan* plan) {
  const SectorImage& image = store_.image.sectors;
  if (Status s = layoutOf(image, &plan->layout); !s.isOk())
    return problem("the image", s.message());
  const uint32_t base = store_.image.baseSector;
  for (const EntryChange& change : plan->changes) {
    if (image.raw() && change.before.size > 0) {
      const uint64_t start = sectorOffset(change.before.sector, base);
      const uint64_t first = start / SECTOR_SIZE;
      const uint64_t end = (start + change.before.size + SECTOR_SIZE - 1) / SECTOR_SIZE;
      std::optional<UnwritableSector> odd;
      if (Status s = findUnwritableSector(image, first, end - first, &odd); !s.isOk()) {
        problem(change.name, s.message());
        continue;
      }
      if (odd && odd->mode == SectorMode::kMode2Form2) {
        problem(change.name, "entry " + std::to_string(change.position) +
                                 " lies in Mode 2 Form 2 sectors (sector " +
                                 std::to_string(odd->sector) +
                                 " of the data track), of which only the first 2048 of 2324 "
                                 "bytes are read; it cannot be patched");
        continue;
      }
      if (odd) {
        problem(change.name, "entry " + std::to_string(change.position) + ": sector " +
                                 std::to_string(odd->sector) +
                                 " of the data track is neither Mode 1 nor Mode 2 Form 1; it "
                                 "cannot be patched");
        continue;
      }
    }
    if (change.ownSectors || change.stored.empty()) continue;
    if (!image.dataTrackEndsFile())
      problem(change.name, "does not fit the entry's own sectors, and the image cannot grow: " +
                               trackAfterData(image) + " follows the data track in its file" +
                               withHint(options_.cannotGrowHint));
    else if (image.raw() && !plan->layout.appendMode)
      problem(change.name,
              "does not fit the entry's own sectors, and no sector of the data track is Mode 1 "
              "or Mode 2 Form 1 to give appended sectors their mode");
  }
}

// An index read out of the image is written back into its own extent: no
// change may write there, and in a raw image its sectors must be ones a
// patch can rewrite.
void Planner::checkIndexExtent(const PatchPlan& plan) {
  if (!store_.indexInImage || plan.changes.empty()) return;
  const IndexExtent& extent = *store_.indexInImage;
  const uint64_t start = uint64_t{extent.sector} * SECTOR_SIZE, end = start + extent.length;
  const std::string where = "sectors " + std::to_string(extent.sector) + " to " +
                            std::to_string(extent.sector + extent.sectors() - 1) +
                            ", which hold the index (" + extent.isoPath + " in the image)";
  for (const EntryChange& change : plan.changes) {
    const uint64_t written = change.ownSectors
                                 ? std::max<uint64_t>(change.stored.size(), change.before.size)
                                 : change.stored.size();
    if (written > 0 && change.offset < end && change.offset + written > start)
      problem(change.name, "entry " + std::to_string(change.position) +
                               ": its new bytes would go into " + where + "; it cannot be patched");
  }
  if (!store_.image.sectors.raw() || extent.length == 0) return;
  std::optional<UnwritableSector> odd;
  if (Status s = findUnwritableSector(store_.image.sectors, extent.sector, extent.sectors(), &odd);
      !s.isOk())
    return problem("the index", s.message());
  if (odd)
    problem("the index", extent.isoPath + " in the image lies in sector " +
                             std::to_string(odd->sector) +
                             " of the data track, which is neither Mode 1 nor Mode 2 Form 1; the "
                             "patched index cannot be written there");
}

Status Planner::plan(const std::string& changesDir, PatchPlan* plan) {
  // A patched index is written whole: what was not loaded would be lost.
  const IndexShortfall& left = store_.indexShortfall;
  if (!left.whole()) {
    const uint64_t loaded = store_.index.entries().size();
    std::string what = "not read whole, and a patched index would lose ";
    if (left.recordsLeft) what += std::to_string(left.recordsLeft) + " records past the ";
    if (left.moreUnknown) what += "the records past the ";
    if (left.recordsLeft || left.moreUnknown) what += std::to_string(loaded) + " it holds";
    if ((left.recordsLeft || left.moreUnknown) && left.partialBytes) what += " and ";
    if (left.partialBytes)
      what += "the " + std::to_string(left.partialBytes) + " bytes after its last whole record";
    problem("the index", what);
  }
  std::vector<ChangedFile> files;
  io::NameRules rules;
  const Status listed = listChangedFiles(*store_.image.fs, changesDir, &files, problems_, &rules);
  if (!listed.isOk()) return listed;
  if (options_.eventsTablePath) {
    std::vector<uint8_t> table;
    const Status read = io::readUserFile(*store_.image.fs, *options_.eventsTablePath, &table);
    if (!read.isOk()) problem(*options_.eventsTablePath, read.message());
  }

  // The piece folders of the event files the table names, the changes
  // folder standing for the run's folder.
  WalkOptions walk;
  walk.eventsTablePath = options_.eventsTablePath;
  walk.givenNames = options_.givenNames;
  for (const GivenName& given : options_.givenNames)
    if (given.position) tied_[given.name] = *given.position;
  const PieceFolders learned = learnPieceFolders(store_, walk, [&](std::vector<uint8_t>* bytes) {
    for (const ChangedFile& file : files) {
      if (file.name != EVENTS_TABLE_NAME) continue;
      const Status read = io::readUserFile(*store_.image.fs, file.path, bytes);
      if (!read.isOk()) problem(file.name, read.message());
      return read;
    }
    return Status::notFound("no event table");
  });
  const std::map<std::string, std::string>& eventByFolder = learned.eventByFolder;
  const bool tableRead = learned.tableRead;
  // A run never writes a case twin: the folder's file under its name is
  // the earlier name's, and an edit of neither.
  std::map<std::string, std::string> twinOf;
  CaseTwins twins(rules);
  for (const std::string& name : learned.names)
    if (const std::optional<std::string> earlier = twins.record(name))
      twinOf.try_emplace(name, *earlier);

  std::map<std::string, std::map<size_t, const ChangedFile*>> pieces;  // by event file
  for (const ChangedFile& file : files) {
    if (const auto twin = twinOf.find(file.name); twin != twinOf.end()) {
      problem(file.name, "a case twin of " + twin->second +
                             " (the folder's file system takes names that differ only in case "
                             "as one), so an edit of neither; not put back");
      continue;
    }
    std::string dir;
    size_t number = 0;
    const bool pieceName = parsePiecePath(file.name, &dir, &number);
    if (pieceName) {
      const auto event = eventByFolder.find(dir);
      if (event != eventByFolder.end()) {
        pieces[event->second][number] = &file;
        continue;
      }
    }
    const Location where = locate(file.name);
    if (where.entry) {
      std::vector<uint8_t> same;
      if (addWholeFile(file, where, &same))
        unchanged_.try_emplace(static_cast<size_t>(where.position), file.name, std::move(same));
    } else if (file.name == EVENTS_TABLE_NAME) {
      // Only the table that places pieces; the store holds none to change.
    } else if (pieceName && !tableRead) {
      problem(file.name,
              "a piece, but no event table places it" + withHint(options_.eventsTableHint) +
                  (learned.tableProblem.empty() ? "" : " (" + learned.tableProblem + ")"));
    } else {
      problem(file.name, pieceName ? "no index entry has this name's hash, and no event file in "
                                     "the event table has its folder"
                                   : "no index entry has this name's hash");
    }
  }
  for (const auto& [eventName, edited] : pieces) addPieces(eventName, edited);
  std::vector<ChangedFile> unnamed;
  if (options_.unnamedDir) addUnnamed(*options_.unnamedDir, &unnamed);

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
  checkSectors(plan);
  checkIndexExtent(*plan);
  for (const EntryChange& change : plan->changes) plan->index[change.position] = change.after;
  plan->disagreements = std::move(disagreements_);
  plan->staleFiles = std::move(stale_);
  if (!problems_->empty()) return Status::invalid("the patch was refused");
  return Status::ok();
}

}  // namespace

std::string pieceNumbers(const std::vector<size_t>& pieces) {
  std::string text = pieces.size() == 1 ? "piece" : "pieces";
  for (size_t i = 0; i < pieces.size(); ++i) text += (i ? ", " : " ") + pieceNumber(pieces[i]);
  return text;
}

size_t PatchPlan::rewrittenInOwnSectors() const {
  return static_cast<size_t>(std::count_if(changes.begin(), changes.end(),
                                           [](const EntryChange& c) { return c.ownSectors; }));
}

Status planPatch(const Store& store, const std::string& changesDir, const PatchOptions& options,
                 PatchPlan* plan, Problems* problems) {
  *plan = PatchPlan{};
  return Planner(store, options, problems).plan(changesDir, plan);
}

}  // namespace orvex
