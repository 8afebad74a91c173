#include "extract.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "file_names.h"
#include "in_flight.h"
#include "piece_policy.h"
#include "pipeline.h"
#include "writer.h"

namespace orvex {
namespace {

constexpr char kOneInCase[] =
    "(the folder's file system takes names that differ only in case as one)";

// Which names the run writes, and which event files it cuts.
class Selection {
 public:
  explicit Selection(const ExtractOptions& options) : options_(options) {}

  bool wants(std::string_view name) const { return !options_.selected || options_.selected(name); }

  // Whether the selection reaches into the piece folder of this name.
  bool wantsPieces(std::string_view name) const {
    if (!options_.selectsUnder) return false;
    const std::optional<std::string> dir = pieceDirectory(name);
    return dir && options_.selectsUnder(*dir);
  }

 private:
  const ExtractOptions& options_;
};

// Decides what becomes of each name the walk learns; the writer, the
// pipeline and the piece policy do the rest.
class Extractor : public NameVisitor {
 public:
  Extractor(const Store& store, OutputDir& out, Console& console, const ExtractOptions& options)
      : store_(store),
        out_(out),
        console_(console),
        options_(options),
        selection_(options),
        twins_(out.nameRules()),
        reached_(store.index.entries().size(), 0),
        tally_(reached_.size()),
        writer_(makeWriter(store, out, tally_, options)),
        pipeline_(store, out, *writer_, tally_, console,
                  writer_->usesWorkers() ? std::max(1u, options.jobs) : 1, [this] {
                    const RunStats stats = tally_.stats();
                    console_.progress(stats.entriesReached, stats.entriesTotal, stats.bytesWritten);
                  }) {}

  void listLookedUp(std::string_view, const Location& where) override {
    markReached(where.position);
  }

  void file(std::string_view name, int64_t position) override {
    markReached(position);
    // Every name counts, selected or not, so that the twins are the same
    // whatever a run selects and whatever the folder holds.
    const std::optional<std::string> twinOf = twins_.record(name);
    if (twinOf) twinNames_.insert(std::string(name));
    // An event file is also written when its pieces are selected: they are
    // cut from it.
    if (!selection_.wants(name) && !selection_.wantsPieces(name)) return;
    if (name.back() == '/') {
      notWritten(name, "names a folder, not a file; not written");
      return;
    }
    if (twinOf) {
      if (!warnedNames_.insert(std::string(name)).second) return;
      tally_.add(&RunStats::notWritten);
      warning(name, "a case twin of " + *twinOf + " " + kOneInCase + ", not written");
      return;
    }
    warnIfEscaped(name);
    // Names that reach one file through links are one file.
    const std::string key = out_.reachKey(name);
    pipeline_.waitFor(key);

    OutputDir::Presence presence = OutputDir::Presence::kAbsent;
    const Status probed =
        !tally_.decided(key) && out_.knownAbsent(name) ? Status::ok() : out_.probe(name, &presence);
    if (!probed.isOk()) {
      notWritten(name, probed.message() + ", not written");
      return;
    }
    if (presence != OutputDir::Presence::kAbsent) {
      // Each file is counted once, and not at all when this run wrote it.
      if (!tally_.addIfFirst(key, &RunStats::filesPresent)) return;
      if (presence == OutputDir::Presence::kDirectory)
        warning(name, "a folder stands where this file belongs, not written");
      return;
    }
    if (position < 0) return;
    const Location where = locateEntry(store_, static_cast<size_t>(position));
    if (!where.status.isOk()) {
      notWritten(name, where.status.message() + ", not written");
      return;
    }
    pipeline_.submit(WriteTask{0, std::string(name), key, where});
  }

  Status readEventTable(std::vector<uint8_t>* bytes) override {
    return readBack(EVENTS_TABLE_NAME, bytes);
  }

  Status readBack(std::string_view name, std::vector<uint8_t>* bytes) override {
    // The folder's file under a twin's name is the other name's.
    if (twinNames_.contains(std::string(name)))
      return Status::notFound("cannot read: No such file or directory");
    pipeline_.drain();
    return writer_->readBack(name, bytes);
  }

  // Only a selection keeps the table a list names out of the folder; a run
  // without one would have written it.
  bool tableFromStore(std::string_view listedName) override {
    return writer_->leavesFolder() || !selection_.wants(listedName);
  }

  // Runs right after readBack of the event file, so nothing is in flight.
  void pieces(std::string_view eventName, const std::string& dir, const std::vector<uint8_t>& bytes,
              const std::vector<EventPiece>& pieces) override {
    const std::optional<std::string> twinOf = twins_.record(dir);
    const bool all = selection_.wants(eventName);
    if (!all && !selection_.wantsPieces(eventName)) return;
    if (twinOf) {
      notCut(eventName, "its piece folder " + dir + " is a case twin of " + *twinOf + " " +
                            kOneInCase + ", not split");
      return;
    }
    warnIfEscaped(dir + "/");
    const Status made = writer_->makeDirectories(dir);
    if (!made.isOk()) {
      notCut(eventName, made.message() + ", not split");
      return;
    }
    const std::vector<bool> written =
        writtenPieces(bytes.size(), pieces, [&](size_t i, bool outside) {
          if (all || selection_.wants(piecePath(dir, i))) tally_.add(&RunStats::piecesNotWritten);
          if (outside)
            warning(piecePath(dir, i), "piece offsets lie outside the event file, piece skipped");
          else
            warning(eventName, "piece " + std::to_string(i) +
                                   " would take its pieces past the event file's own length, "
                                   "skipped");
        });
    for (size_t i = 0; i < pieces.size(); ++i) {
      const std::string path = piecePath(dir, i);
      if (written[i] && (all || selection_.wants(path)))
        writePiece(path, bytes.data() + pieces[i].start, pieces[i].end - pieces[i].start);
    }
  }

  void refused(std::string_view name, std::string_view reason) override {
    if (selection_.wants(name)) tally_.add(&RunStats::namesRefused);
    warning(name, reason);
  }

  void notCut(std::string_view eventName, std::string_view reason) override {
    if (selection_.wants(eventName) || selection_.wantsPieces(eventName))
      tally_.add(&RunStats::eventsNotCut);
    warning(eventName, reason);
  }

  void warning(std::string_view subject, std::string_view reason) override {
    pipeline_.show({Line::Kind::kWarning, std::string(subject), std::string(reason)});
  }

  RunStats finish() {
    pipeline_.drain();
    RunStats stats = tally_.stats();
    stats.warnings = console_.warnings();
    stats.dryRun = options_.dryRun;
    return stats;
  }

 private:
  // Writes a piece as the piece policy decides for what stands at its path.
  void writePiece(const std::string& path, const uint8_t* data, size_t length) {
    OutputDir::Kind kind = OutputDir::Kind::kAbsent;
    std::vector<uint8_t> there;
    const Status looked = out_.inspect(path, &kind, &there);
    if (!looked.isOk()) {
      tally_.add(&RunStats::piecesNotWritten);
      warning(path, looked.message() + ", not written");
      return;
    }
    const bool same = there.size() == length && std::equal(there.begin(), there.end(), data);
    const PieceAction action = decidePiece(kind, same, options_.refreshPieces);
    if (action == PieceAction::kKeepFolder)
      warning(path, "a folder stands where this piece belongs, not written");
    if (action == PieceAction::kKeepEdited)
      warning(path,
              "differs from its event file's cut, kept" +
                  (options_.keptPieceHint.empty() ? "" : " (" + options_.keptPieceHint + ")"));
    if (action == PieceAction::kReplace)
      warning(path, std::string("differs from its event file's cut, ") + writer_->replaced());
    if (action == PieceAction::kWrite || action == PieceAction::kReplace) {
      std::vector<Line> shown;
      const Status put = writer_->writePiece(path, data, length, options_.refreshPieces, &shown);
      if (put.code() != Status::Code::kExists) {
        if (!put.isOk()) {
          tally_.add(&RunStats::piecesNotWritten);
          return warning(path, put.message());
        }
        for (Line& line : shown) pipeline_.show(std::move(line));
        tally_.addIfFirst(pathKey(path), &RunStats::piecesWritten);
        return;
      }
    }
    tally_.addIfFirst(pathKey(path), &RunStats::filesPresent);
  }

  // Tells, once for each name, the file name it is written as where that
  // differs.
  void warnIfEscaped(std::string_view name) {
    const std::string written = fileNameFor(name, out_.nameRules());
    if (written != name && warnedNames_.insert(std::string(name)).second)
      warning(name, "written as " + written +
                        ", the folder's file system cannot hold the name as it stands");
  }

  void markReached(int64_t position) {
    if (position < 0 || reached_[static_cast<size_t>(position)]) return;
    reached_[static_cast<size_t>(position)] = 1;
    tally_.add(&RunStats::entriesReached);
  }

  // A file met twice is counted once, whatever became of it first.
  void notWritten(std::string_view name, const std::string& reason) {
    tally_.addIfFirst(out_.reachKey(name), &RunStats::notWritten);
    warning(name, reason);
  }

  const Store& store_;
  OutputDir& out_;
  Console& console_;
  const ExtractOptions& options_;
  const Selection selection_;
  CaseTwins twins_;
  std::unordered_set<std::string> twinNames_;    // names the folder holds as another's file
  std::unordered_set<std::string> warnedNames_;  // names told of as twins or as written escaped
  std::vector<uint8_t> reached_;  // per index position: some name resolved to it (walk only)
  RunTally tally_;
  std::unique_ptr<ExtractWriter> writer_;
  WritePipeline pipeline_;  // last: its workers stop before what they use goes
};

}  // namespace

RunStats extractAll(const Store& store, OutputDir& out, Console& console,
                    const ExtractOptions& options) {
  Extractor extractor(store, out, console, options);
  walkNames(store, extractor, options.walk);
  return extractor.finish();
}

unsigned jobsFromSetting(const char* text, std::string* warning) {
  const unsigned all = std::max(1u, std::thread::hardware_concurrency());
  if (text == nullptr || *text == '\0') return all;
  char* end = nullptr;
  errno = 0;
  const unsigned long jobs = std::strtoul(text, &end, 10);
  if (*end == '\0' && errno == 0 && text[0] >= '0' && text[0] <= '9' && jobs >= 1 && jobs <= 256)
    return static_cast<unsigned>(jobs);
  *warning = "ORVEX_JOBS=" + std::string(text) + " is not a number from 1 to 256; using " +
             std::to_string(all);
  return all;
}

std::string otherLosses(const RunStats& stats) {
  std::string line;
  const auto add = [&line](uint64_t n, const char* one, const char* many, const char* what) {
    if (n) line += (line.empty() ? "" : ", ") + counted(n, one, many) + what;
  };
  add(stats.namesRefused, "unsafe name", "unsafe names", " skipped");
  add(stats.eventsNotCut, "event file", "event files", " not cut");
  add(stats.piecesNotWritten, "piece", "pieces", " not written");
  return line;
}

std::string runSummary(std::string_view program, const RunStats& stats,
                       const std::string& listCommand) {
  const uint64_t unreached = stats.entriesTotal - stats.entriesReached;
  const std::string written = stats.dryRun ? " to write" : " written";
  std::string line = std::string(program) + ": " + (stats.dryRun ? "dry run: " : "") +
                     counted(stats.filesWritten, "file", "files") + written + " (" +
                     humanBytes(static_cast<double>(stats.bytesWritten)) + "), ";
  if (stats.piecesWritten) line += counted(stats.piecesWritten, "piece", "pieces") + written + ", ";
  line += std::to_string(stats.filesPresent) + " already present, " +
          counted(stats.warnings, "warning", "warnings") + "; " + std::to_string(unreached) +
          " of " + counted(stats.entriesTotal, "index entry", "index entries") +
          " reached by no name";
  if (unreached) line += " (see them with: " + listCommand + ")";
  return line;
}

}  // namespace orvex
