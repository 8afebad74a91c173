#include "extract.h"

#include <string>
#include <unordered_set>
#include <vector>

namespace orvex {
namespace {

class Extractor : public NameVisitor {
 public:
  Extractor(const Store& store, OutputDir& out, Console& console, const ExtractOptions& options)
      : store_(store),
        out_(out),
        console_(console),
        options_(options),
        reached_(store.index.entries().size(), 0) {
    stats_.entriesTotal = reached_.size();
  }

  void listLookedUp(std::string_view, const Location& where) override {
    markReached(where.position);
  }

  void file(std::string_view name, NameSource) override {
    markReached(store_.index.findPosition(hashName(name)));
    if (!selected(name)) return;
    if (name.back() == '/') {
      notWritten(name, "names a folder, not a file; not written");
      return;
    }
    OutputDir::Presence presence = OutputDir::Presence::kAbsent;
    const Status probed = out_.probe(name, &presence);
    if (!probed.isOk()) {
      notWritten(name, probed.message() + ", not written");
      return;
    }
    if (presence != OutputDir::Presence::kAbsent) {
      // Each name is counted once, and not at all when this run wrote it.
      if (!decided_.emplace(name).second) return;
      ++stats_.filesPresent;
      if (presence == OutputDir::Presence::kDirectory)
        warning(name, "a folder stands where this file belongs, not written");
      return;
    }
    const Location where = locateFile(store_, name);
    if (where.status.code() == Status::Code::kNotFound) return;
    if (!where.status.isOk()) {
      notWritten(name, where.status.message() + ", not written");
      return;
    }
    write(name, where);
  }

  Status readBack(std::string_view name, std::vector<uint8_t>* bytes) override {
    return out_.readFile(name, bytes);
  }

  // Only a selection keeps the table a list names out of the folder; a run
  // without one would have written it.
  bool tableFromStore(std::string_view listedName) override { return !selected(listedName); }

  void pieces(std::string_view eventName, const std::string& dir, const std::vector<uint8_t>& bytes,
              const std::vector<EventPiece>& pieces) override {
    if (!selected(eventName)) return;
    const Status made = out_.makeDirectories(dir);
    if (!made.isOk()) {
      warning(eventName, made.message() + ", not split");
      return;
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
      const std::string path = piecePath(dir, i);
      const EventPiece& piece = pieces[i];
      if (piece.start > piece.end || piece.end > bytes.size()) {
        warning(path, "piece offsets lie outside the event file, piece skipped");
        continue;
      }
      const Status put =
          out_.writeReplacing(path, bytes.data() + piece.start, piece.end - piece.start);
      if (!put.isOk()) {
        warning(path, put.message());
        continue;
      }
      ++stats_.piecesWritten;
    }
  }

  void warning(std::string_view subject, std::string_view reason) override {
    console_.warning(subject, reason);
  }

  RunStats stats() const { return stats_; }

 private:
  bool selected(std::string_view name) const {
    return !options_.selected || options_.selected(name);
  }

  void markReached(int64_t position) {
    if (position < 0 || reached_[static_cast<size_t>(position)]) return;
    reached_[static_cast<size_t>(position)] = 1;
    ++stats_.entriesReached;
  }

  void notWritten(std::string_view name, const std::string& reason) {
    ++stats_.notWritten;
    warning(name, reason);
  }

  void write(std::string_view name, const Location& where) {
    Status status;
    uint64_t length = 0;
    if (where.entry->flags & FLAG_COMPRESSED) {
      status = readLocated(store_, where, &buffer_);
      if (!status.isOk()) {
        notWritten(name, status.message() + ", not written");
        return;
      }
      announce(name);
      status = out_.writeNew(name, buffer_.data(), buffer_.size());
      length = buffer_.size();
    } else {
      // Stored bytes go from the image to the file without passing through
      // this process.
      announce(name);
      status = out_.copyNew(name, store_.image.fd, where.offset, where.entry->size);
      length = where.entry->size;
    }
    if (status.code() == Status::Code::kExists) {
      // Appeared since it was looked for: kept as it is.
      if (decided_.emplace(name).second) ++stats_.filesPresent;
      return;
    }
    if (!status.isOk()) {
      notWritten(name, status.message());
      return;
    }
    ++stats_.filesWritten;
    stats_.bytesWritten += length;
    decided_.emplace(name);
    if (options_.listWritten) console_.nameLine("", name);
    console_.progress(stats_.entriesReached, stats_.entriesTotal, stats_.bytesWritten);
  }

  void announce(std::string_view name) {
    if (options_.dumpingLines) console_.nameLine("Dumping ", name);
  }

  const Store& store_;
  OutputDir& out_;
  Console& console_;
  const ExtractOptions& options_;
  RunStats stats_;
  std::vector<uint8_t> reached_;             // per index position: some name resolved to it
  std::unordered_set<std::string> decided_;  // names written by this run or counted as present
  std::vector<uint8_t> buffer_;              // file bytes, reused from file to file
};

}  // namespace

RunStats extractAll(const Store& store, OutputDir& out, Console& console,
                    const ExtractOptions& options) {
  Extractor extractor(store, out, console, options);
  walkNames(store, extractor, options.walk);
  RunStats stats = extractor.stats();
  stats.warnings = console.warnings();
  return stats;
}

std::string runSummary(std::string_view program, const RunStats& stats,
                       const std::string& listCommand) {
  const uint64_t unreached = stats.entriesTotal - stats.entriesReached;
  std::string line = std::string(program) + ": " + counted(stats.filesWritten, "file", "files") +
                     " written (" + humanBytes(static_cast<double>(stats.bytesWritten)) + "), ";
  if (stats.piecesWritten) line += counted(stats.piecesWritten, "piece", "pieces") + " written, ";
  line += std::to_string(stats.filesPresent) + " already present, " +
          counted(stats.warnings, "warning", "warnings") + "; " + std::to_string(unreached) +
          " of " + counted(stats.entriesTotal, "index entry", "index entries") +
          " reached by no name";
  if (unreached) line += " (see them with: " + listCommand + ")";
  return line;
}

}  // namespace orvex
