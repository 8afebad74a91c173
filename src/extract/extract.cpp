#include "extract.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "in_flight.h"
#include "ordered_output.h"

namespace orvex {
namespace {

// A file to take from the image, decided on by the walk.
struct WriteTask {
  uint64_t slot = 0;
  std::string name;
  std::string key;
  Location where;
};

class Extractor : public NameVisitor {
 public:
  Extractor(const Store& store, OutputDir& out, Console& console, const ExtractOptions& options)
      : store_(store),
        out_(out),
        console_(console),
        options_(options),
        reached_(store.index.entries().size(), 0),
        output_(console, [this] {
          console_.progress(stats_.entriesReached, stats_.entriesTotal, stats_.bytesWritten);
        }) {
    stats_.entriesTotal = reached_.size();
    const unsigned jobs = std::max(1u, options.jobs);
    if (jobs > 1) {
      for (unsigned i = 0; i < jobs; ++i) {
        std::unique_ptr<OutputDir> folder = out.clone();
        if (!folder) break;
        workers_.emplace_back(
            [this, dir = std::shared_ptr<OutputDir>(std::move(folder))] { work(*dir); });
      }
    }
  }

  ~Extractor() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  void listLookedUp(std::string_view, const Location& where) override {
    markReached(where.position);
  }

  void file(std::string_view name, int64_t position) override {
    markReached(position);
    // An event file is also written when its pieces are selected: they are
    // cut from it.
    if (!selected(name) && !piecesSelected(name)) return;
    if (name.back() == '/') {
      notWritten(name, "names a folder, not a file; not written");
      return;
    }
    // Names that reach one file through links are one file.
    const std::string key = out_.reachKey(name);
    std::unique_lock<std::mutex> lock(mutex_);
    // A write still in flight could decide this one: the same file, or a
    // folder that one of the two needs where the other puts a file.
    changed_.wait(lock, [&] { return !inFlight_.conflicts(key); });
    lock.unlock();

    OutputDir::Presence presence = OutputDir::Presence::kAbsent;
    const Status probed = out_.probe(name, &presence);
    if (!probed.isOk()) {
      notWritten(name, probed.message() + ", not written");
      return;
    }
    if (presence != OutputDir::Presence::kAbsent) {
      lock.lock();
      // Each file is counted once, and not at all when this run wrote it.
      if (!decided_.insert(key).second) return;
      ++stats_.filesPresent;
      lock.unlock();
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
    if (options_.dryRun) return wouldWrite(name, key, where);
    submit(WriteTask{0, std::string(name), key, where});
  }

  Status readEventTable(std::vector<uint8_t>* bytes) override {
    return readBack(EVENTS_TABLE_NAME, bytes);
  }

  Status readBack(std::string_view name, std::vector<uint8_t>* bytes) override {
    drain();
    const Status read = out_.readFile(name, bytes);
    // What a dry run would have written is read where it would come from.
    if (read.code() == Status::Code::kNotFound && wouldWrite_.contains(out_.reachKey(name)))
      return readFile(store_, name, bytes);
    return read;
  }

  // Only a selection keeps the table a list names out of the folder; a run
  // without one would have written it.
  bool tableFromStore(std::string_view listedName) override {
    return options_.dryRun || !selected(listedName);
  }

  // Runs right after readBack of the event file, so nothing is in flight.
  void pieces(std::string_view eventName, const std::string& dir, const std::vector<uint8_t>& bytes,
              const std::vector<EventPiece>& pieces) override {
    const bool all = selected(eventName);
    if (!all && !piecesSelected(eventName)) return;
    const Status made = options_.dryRun ? Status::ok() : out_.makeDirectories(dir);
    if (!made.isOk()) {
      notCut(eventName, made.message() + ", not split");
      return;
    }
    const std::vector<bool> written =
        writtenPieces(bytes.size(), pieces, [&](size_t i, bool outside) {
          if (all || selected(piecePath(dir, i))) countLostPiece();
          if (outside)
            warning(piecePath(dir, i), "piece offsets lie outside the event file, piece skipped");
          else
            warning(eventName, "piece " + std::to_string(i) +
                                   " would take its pieces past the event file's own length, "
                                   "skipped");
        });
    for (size_t i = 0; i < pieces.size(); ++i) {
      const std::string path = piecePath(dir, i);
      if (written[i] && (all || selected(path)))
        writePiece(path, bytes.data() + pieces[i].start, pieces[i].end - pieces[i].start);
    }
  }

  void refused(std::string_view name, std::string_view reason) override {
    if (selected(name)) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++stats_.namesRefused;
    }
    warning(name, reason);
  }

  void notCut(std::string_view eventName, std::string_view reason) override {
    if (selected(eventName) || piecesSelected(eventName)) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++stats_.eventsNotCut;
    }
    warning(eventName, reason);
  }

  // Writes a piece unless its bytes are there already. What else stands
  // there is replaced only when the options ask for it, with a warning;
  // a folder is always kept.
  void writePiece(const std::string& path, const uint8_t* data, size_t length) {
    OutputDir::Kind kind = OutputDir::Kind::kAbsent;
    std::vector<uint8_t> there;
    const Status looked = out_.inspect(path, &kind, &there);
    if (!looked.isOk()) {
      countLostPiece();
      warning(path, looked.message() + ", not written");
      return;
    }
    const bool same = kind == OutputDir::Kind::kFile && there.size() == length &&
                      std::equal(there.begin(), there.end(), data);
    const bool edited = kind != OutputDir::Kind::kAbsent && !same;
    if (kind == OutputDir::Kind::kFolder) {
      warning(path, "a folder stands where this piece belongs, not written");
    } else if (edited && !options_.refreshPieces) {
      warning(path, "differs from its event file's cut, kept (--refresh-pieces replaces it)");
    } else if (!same && options_.dryRun) {
      if (edited) warning(path, "differs from its event file's cut, would be replaced");
      show({Line::Kind::kWritten, path, {}});
      std::lock_guard<std::mutex> lock(mutex_);
      if (decided_.insert(pathKey(path)).second) ++stats_.piecesWritten;
      return;
    } else if (!same) {
      if (edited) warning(path, "differs from its event file's cut, replaced");
      const Status put = options_.refreshPieces ? out_.writeReplacing(path, data, length)
                                                : out_.writeNew(path, data, length);
      if (put.code() != Status::Code::kExists) {
        if (!put.isOk()) {
          countLostPiece();
          return warning(path, put.message());
        }
        if (options_.listWritten) show({Line::Kind::kWritten, path, {}});
        std::lock_guard<std::mutex> lock(mutex_);
        if (decided_.insert(pathKey(path)).second) ++stats_.piecesWritten;
        return;
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (decided_.insert(pathKey(path)).second) ++stats_.filesPresent;
  }

  void warning(std::string_view subject, std::string_view reason) override {
    show({Line::Kind::kWarning, std::string(subject), std::string(reason)});
  }

  RunStats finish() {
    drain();
    std::lock_guard<std::mutex> lock(mutex_);
    RunStats stats = stats_;
    stats.warnings = console_.warnings();
    stats.dryRun = options_.dryRun;
    return stats;
  }

 private:
  bool selected(std::string_view name) const {
    return !options_.selected || options_.selected(name);
  }

  // Whether the selection reaches into the piece folder of this name.
  bool piecesSelected(std::string_view name) const {
    if (!options_.selectsUnder) return false;
    const std::optional<std::string> dir = pieceDirectory(name);
    return dir && options_.selectsUnder(*dir);
  }

  // A dry run's file: shown and counted as written, and remembered so that
  // the event pass reads it from the store.
  void wouldWrite(std::string_view name, const std::string& key, const Location& where) {
    const uint64_t size = where.entry->flags & FLAG_COMPRESSED
                              ? statedLength(store_, where).value_or(0)
                              : where.entry->size;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!decided_.insert(key).second) return;
    wouldWrite_.insert(key);
    ++stats_.filesWritten;
    stats_.bytesWritten += size;
    output_.show({Line::Kind::kWritten, std::string(name), {}});
  }

  void countLostPiece() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.piecesNotWritten;
  }

  void markReached(int64_t position) {
    if (position < 0 || reached_[static_cast<size_t>(position)]) return;
    reached_[static_cast<size_t>(position)] = 1;
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.entriesReached;
  }

  // A file met twice is counted once, whatever became of it first.
  void notWritten(std::string_view name, const std::string& reason) {
    std::string key = out_.reachKey(name);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (decided_.insert(std::move(key)).second) ++stats_.notWritten;
    }
    warning(name, reason);
  }

  // A line of the walk's own, after everything decided before it.
  void show(Line line) {
    std::lock_guard<std::mutex> lock(mutex_);
    output_.show(std::move(line));
  }

  void submit(WriteTask task) {
    std::unique_lock<std::mutex> lock(mutex_);
    task.slot = output_.open();
    if (workers_.empty()) {
      lock.unlock();
      StepLines result;
      uint64_t bytes = 0;
      Status status = write(task, out_, &buffer_, &result, &bytes);
      lock.lock();
      settle(task, status, std::move(result), bytes);
      return;
    }
    // The walk runs ahead of the workers only so far.
    changed_.wait(lock, [&] { return queue_.size() < 4 * workers_.size(); });
    inFlight_.add(task.key);
    queue_.push_back(std::move(task));
    changed_.notify_all();
  }

  void work(OutputDir& folder) {
    std::vector<uint8_t> buffer;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      WriteTask task = std::move(queue_.front());
      queue_.pop_front();
      changed_.notify_all();
      const uint64_t need = bytesNeeded(task.where);
      changed_.wait(lock, [&] { return budget_.allows(need); });
      budget_.take(need);
      lock.unlock();
      StepLines result;
      uint64_t bytes = 0;
      const Status status = write(task, folder, &buffer, &result, &bytes);
      // A buffer grown for one large file is not kept for the next.
      if (buffer.capacity() > MemoryBudget::kBytes / workers_.size())
        std::vector<uint8_t>().swap(buffer);
      lock.lock();
      budget_.give(need);
      inFlight_.remove(task.key);
      settle(task, status, std::move(result), bytes);
      changed_.notify_all();
    }
  }

  // What decoding the entry holds in memory: the stored bytes it reads, and
  // room for the length its trailer states.
  uint64_t bytesNeeded(const Location& where) const {
    if (!(where.entry->flags & FLAG_COMPRESSED)) return 0;
    const uint64_t size = where.entry->size;
    const uint64_t stated = statedLength(store_, where).value_or(0);
    const uint64_t reach = reachableStreamBytes(size, stated);
    return reach < size ? stated + reach : std::max(size, stated);
  }

  // Takes one file from the image into the folder; its lines go to result
  // and its length to *bytes.
  Status write(const WriteTask& task, OutputDir& folder, std::vector<uint8_t>* buffer,
               StepLines* result, uint64_t* bytes) const {
    const Location& where = task.where;
    if (where.entry->flags & FLAG_COMPRESSED) {
      const Status read = readLocated(store_, where, buffer);
      if (!read.isOk()) return Status::damaged(read.message() + ", not written");
      announce(task.name, result);
      *bytes = buffer->size();
      return folder.writeNew(task.name, buffer->data(), buffer->size());
    }
    // Stored bytes go from the image to the file without passing through
    // this process.
    announce(task.name, result);
    *bytes = where.entry->size;
    return folder.copyNew(task.name, store_.image.fd(), where.offset, where.entry->size);
  }

  void announce(const std::string& name, StepLines* result) const {
    if (options_.dumpingLines) result->lines.push_back({Line::Kind::kDumping, name, {}});
  }

  // Counts a write's outcome and releases its lines. With mutex_ held.
  void settle(const WriteTask& task, const Status& status, StepLines result, uint64_t bytes) {
    if (status.code() == Status::Code::kExists) {
      // Appeared since it was looked for: kept as it is.
      if (decided_.insert(task.key).second) ++stats_.filesPresent;
    } else if (!status.isOk()) {
      if (decided_.insert(task.key).second) ++stats_.notWritten;
      result.lines.push_back({Line::Kind::kWarning, task.name, status.message()});
    } else {
      ++stats_.filesWritten;
      stats_.bytesWritten += bytes;
      decided_.insert(task.key);
      if (options_.listWritten) result.lines.push_back({Line::Kind::kWritten, task.name, {}});
      result.wrote = true;
    }
    output_.close(task.slot, std::move(result));
  }

  void drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return queue_.empty() && inFlight_.empty(); });
  }

  const Store& store_;
  OutputDir& out_;
  Console& console_;
  const ExtractOptions& options_;
  std::vector<uint8_t> reached_;  // per index position: some name resolved to it (walk only)
  std::vector<uint8_t> buffer_;   // file bytes of the one-thread run, reused from file to file

  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  RunStats stats_;
  std::unordered_set<std::string> decided_;     // keys written by this run or counted as present
  std::unordered_set<std::string> wouldWrite_;  // keys a dry run would have written
  OrderedOutput output_;
  std::deque<WriteTask> queue_;
  InFlight inFlight_;
  MemoryBudget budget_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
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
