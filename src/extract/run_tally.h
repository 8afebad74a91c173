// What a run counts, and the files and pieces it has decided on, shared by
// the walk and the threads that write.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>

namespace orvex {

struct RunStats {
  uint64_t filesWritten = 0;
  uint64_t bytesWritten = 0;
  uint64_t piecesWritten = 0;
  uint64_t filesPresent = 0;      // there before the run, or appeared during it; pieces too
  uint64_t notWritten = 0;        // selected files that could not be written
  uint64_t namesRefused = 0;      // unsafe names of selected files, never looked up
  uint64_t eventsNotCut = 0;      // event files there but not cut into pieces
  uint64_t piecesNotWritten = 0;  // pieces skipped or whose write failed
  uint64_t warnings = 0;          // every warning the console printed, before the walk too
  uint64_t entriesReached = 0;
  uint64_t entriesTotal = 0;
  bool dryRun = false;

  // Something the run meant to write is not there: a file or a piece.
  bool lostSomething() const {
    return notWritten || namesRefused || eventsNotCut || piecesNotWritten;
  }
};

// Thread-safe. A key is a file's or piece's name as the output folder
// resolves it; each is counted once, whatever became of it first.
class RunTally {
 public:
  using Count = uint64_t RunStats::*;

  explicit RunTally(uint64_t entriesTotal) { stats_.entriesTotal = entriesTotal; }

  void add(Count count) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++(stats_.*count);
  }
  // Counts key under count unless it was decided on before; whether it was not.
  bool addIfFirst(const std::string& key, Count count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!decided_.insert(key).second) return false;
    ++(stats_.*count);
    return true;
  }
  // Marks key decided on, counting nothing; whether it was not before.
  bool decide(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return decided_.insert(key).second;
  }
  bool decided(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return decided_.contains(key);
  }
  // A file this run wrote (or, in a dry run, would write).
  void wrote(const std::string& key, uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.filesWritten;
    stats_.bytesWritten += bytes;
    decided_.insert(key);
  }
  RunStats stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
  }

 private:
  mutable std::mutex mutex_;
  RunStats stats_;
  std::unordered_set<std::string> decided_;
};

}  // namespace orvex
