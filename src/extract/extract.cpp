#include "extract.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace orvex {
namespace {

// Decoded bytes that workers may hold at once; one larger file runs alone.
constexpr uint64_t kBytesInFlight = 32ull << 20;

// The name as the output folder resolves it: without empty and "." parts,
// so that "a//b" and "a/./b" are one file.
std::string pathKey(std::string_view name) {
  std::string key;
  size_t start = 0;
  while (start <= name.size()) {
    const size_t slash = std::min(name.find('/', start), name.size());
    const std::string_view part = name.substr(start, slash - start);
    if (!part.empty() && part != ".") {
      if (!key.empty()) key += '/';
      key.append(part);
    }
    start = slash + 1;
  }
  return key;
}

// Every folder above a key: "a/b/c" gives "a" and "a/b".
template <typename Visit>
void forEachAncestor(const std::string& key, Visit visit) {
  for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1))
    visit(key.substr(0, slash));
}

// One line that a step of the walk shows.
struct Line {
  enum class Kind { kDumping, kWritten, kWarning } kind;
  std::string subject;
  std::string reason;
};

// What one step showed and did, released in walk order once it is done.
struct Slot {
  bool done = false;
  std::vector<Line> lines;
  bool wrote = false;
  uint64_t bytes = 0;  // the file's length, once written
};

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
        reached_(store.index.entries().size(), 0) {
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

  void file(std::string_view name, NameSource) override {
    markReached(store_.index.findPosition(hashName(name)));
    if (!selected(name)) return;
    if (name.back() == '/') {
      notWritten(name, "names a folder, not a file; not written");
      return;
    }
    const std::string key = pathKey(name);
    std::unique_lock<std::mutex> lock(mutex_);
    // A write still in flight could decide this one: the same file, or a
    // folder that one of the two needs where the other puts a file.
    changed_.wait(lock, [&] { return !conflicts(key); });
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
    const Location where = locateFile(store_, name);
    if (where.status.code() == Status::Code::kNotFound) return;
    if (!where.status.isOk()) {
      notWritten(name, where.status.message() + ", not written");
      return;
    }
    submit(WriteTask{0, std::string(name), key, where});
  }

  Status readBack(std::string_view name, std::vector<uint8_t>* bytes) override {
    drain();
    return out_.readFile(name, bytes);
  }

  // Only a selection keeps the table a list names out of the folder; a run
  // without one would have written it.
  bool tableFromStore(std::string_view listedName) override { return !selected(listedName); }

  // Runs right after readBack of the event file, so nothing is in flight.
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
      std::lock_guard<std::mutex> lock(mutex_);
      ++stats_.piecesWritten;
    }
  }

  void warning(std::string_view subject, std::string_view reason) override {
    show({Line::Kind::kWarning, std::string(subject), std::string(reason)});
  }

  RunStats finish() {
    drain();
    std::lock_guard<std::mutex> lock(mutex_);
    RunStats stats = stats_;
    stats.warnings = console_.warnings();
    return stats;
  }

 private:
  bool selected(std::string_view name) const {
    return !options_.selected || options_.selected(name);
  }

  void markReached(int64_t position) {
    if (position < 0 || reached_[static_cast<size_t>(position)]) return;
    reached_[static_cast<size_t>(position)] = 1;
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.entriesReached;
  }

  void notWritten(std::string_view name, const std::string& reason) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++stats_.notWritten;
    }
    warning(name, reason);
  }

  // A line of the walk's own, after everything decided before it.
  void show(Line line) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t slot = openSlot();
    slotAt(slot).lines.push_back(std::move(line));
    closeSlot(slot);
  }

  // --- In walk order: slots hold each step's lines until those before it
  // are out. Called with mutex_ held.

  uint64_t openSlot() {
    slots_.emplace_back();
    return firstSlot_ + slots_.size() - 1;
  }

  Slot& slotAt(uint64_t slot) { return slots_[slot - firstSlot_]; }

  void closeSlot(uint64_t slot) {
    slotAt(slot).done = true;
    while (!slots_.empty() && slots_.front().done) {
      const Slot& front = slots_.front();
      for (const Line& line : front.lines) {
        switch (line.kind) {
          case Line::Kind::kDumping:
            console_.nameLine("Dumping ", line.subject);
            break;
          case Line::Kind::kWritten:
            console_.nameLine("", line.subject);
            break;
          case Line::Kind::kWarning:
            console_.warning(line.subject, line.reason);
            break;
        }
      }
      if (front.wrote)
        console_.progress(stats_.entriesReached, stats_.entriesTotal, stats_.bytesWritten);
      slots_.pop_front();
      ++firstSlot_;
    }
  }

  // --- Writes in flight. Called with mutex_ held.

  bool conflicts(const std::string& key) const {
    if (inFlight_.contains(key) || inFlightFolders_.contains(key)) return true;
    bool found = false;
    forEachAncestor(
        key, [&](const std::string& folder) { found = found || inFlight_.contains(folder); });
    return found;
  }

  void track(const std::string& key, int delta) {
    auto adjust = [delta](std::unordered_map<std::string, int>& counts, const std::string& k) {
      if ((counts[k] += delta) == 0) counts.erase(k);
    };
    adjust(inFlight_, key);
    forEachAncestor(key, [&](const std::string& folder) { adjust(inFlightFolders_, folder); });
  }

  void submit(WriteTask task) {
    std::unique_lock<std::mutex> lock(mutex_);
    task.slot = openSlot();
    if (workers_.empty()) {
      lock.unlock();
      Slot result;
      Status status = write(task, out_, &buffer_, &result);
      lock.lock();
      settle(task, status, std::move(result));
      return;
    }
    // The walk runs ahead of the workers only so far.
    changed_.wait(lock, [&] { return queue_.size() < 4 * workers_.size(); });
    track(task.key, +1);
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
      changed_.wait(lock, [&] { return bytesHeld_ == 0 || bytesHeld_ + need <= kBytesInFlight; });
      bytesHeld_ += need;
      lock.unlock();
      Slot result;
      const Status status = write(task, folder, &buffer, &result);
      // A buffer grown for one large file is not kept for the next.
      if (buffer.capacity() > kBytesInFlight / workers_.size()) std::vector<uint8_t>().swap(buffer);
      lock.lock();
      bytesHeld_ -= need;
      track(task.key, -1);
      settle(task, status, std::move(result));
      changed_.notify_all();
    }
  }

  // What decoding the entry holds in memory: its stored bytes, grown to the
  // length its trailer states.
  uint64_t bytesNeeded(const Location& where) const {
    const uint32_t size = where.entry->size;
    if (!(where.entry->flags & FLAG_COMPRESSED) || size < STREAM_TRAILER_SIZE) return 0;
    uint8_t trailer[STREAM_TRAILER_SIZE];
    const off_t at = static_cast<off_t>(where.offset + size - STREAM_TRAILER_SIZE);
    if (pread(store_.image.fd, trailer, sizeof trailer, at) != static_cast<ssize_t>(sizeof trailer))
      return size;
    return std::max<uint64_t>(size, decodeStreamTrailer(trailer).decodedLength);
  }

  // Takes one file from the image into the folder; its lines go to result.
  Status write(const WriteTask& task, OutputDir& folder, std::vector<uint8_t>* buffer,
               Slot* result) const {
    const Location& where = task.where;
    if (where.entry->flags & FLAG_COMPRESSED) {
      const Status read = readLocated(store_, where, buffer);
      if (!read.isOk()) return Status::damaged(read.message() + ", not written");
      announce(task.name, result);
      result->bytes = buffer->size();
      return folder.writeNew(task.name, buffer->data(), buffer->size());
    }
    // Stored bytes go from the image to the file without passing through
    // this process.
    announce(task.name, result);
    result->bytes = where.entry->size;
    return folder.copyNew(task.name, store_.image.fd, where.offset, where.entry->size);
  }

  void announce(const std::string& name, Slot* result) const {
    if (options_.dumpingLines) result->lines.push_back({Line::Kind::kDumping, name, {}});
  }

  // Counts a write's outcome and releases its lines. With mutex_ held.
  void settle(const WriteTask& task, const Status& status, Slot result) {
    if (status.code() == Status::Code::kExists) {
      // Appeared since it was looked for: kept as it is.
      if (decided_.insert(task.key).second) ++stats_.filesPresent;
    } else if (!status.isOk()) {
      ++stats_.notWritten;
      result.lines.push_back({Line::Kind::kWarning, task.name, status.message()});
    } else {
      ++stats_.filesWritten;
      stats_.bytesWritten += result.bytes;
      decided_.insert(task.key);
      if (options_.listWritten) result.lines.push_back({Line::Kind::kWritten, task.name, {}});
      result.wrote = true;
    }
    Slot& slot = slotAt(task.slot);
    slot.lines = std::move(result.lines);
    slot.wrote = result.wrote;
    closeSlot(task.slot);
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
  std::unordered_set<std::string> decided_;  // keys written by this run or counted as present
  std::deque<Slot> slots_;
  uint64_t firstSlot_ = 0;
  std::deque<WriteTask> queue_;
  std::unordered_map<std::string, int> inFlight_;         // keys queued or being written
  std::unordered_map<std::string, int> inFlightFolders_;  // folders above them
  uint64_t bytesHeld_ = 0;
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

unsigned jobsFromEnvironment() {
  const char* text = std::getenv("ORVEX_JOBS");
  if (text != nullptr && *text != '\0') {
    char* end = nullptr;
    const unsigned long jobs = std::strtoul(text, &end, 10);
    if (*end == '\0' && jobs >= 1 && jobs <= 256) return static_cast<unsigned>(jobs);
  }
  return std::max(1u, std::thread::hardware_concurrency());
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
