// The files that writes in flight will make, so that a name is decided only
// once no write still running could decide it: the same file, or a folder
// that one of the two needs where the other puts a file. Not thread-safe:
// the caller holds its own lock around every call.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace orvex {

// The name as the output folder resolves it: without empty and "." parts,
// so that "a//b" and "a/./b" are one file.
std::string pathKey(std::string_view name);

class InFlight {
 public:
  bool conflicts(const std::string& key) const;
  void add(const std::string& key) { track(key, +1); }
  void remove(const std::string& key) { track(key, -1); }
  bool empty() const { return files_.empty(); }

 private:
  void track(const std::string& key, int delta);

  std::unordered_map<std::string, int> files_;    // keys queued or being written
  std::unordered_map<std::string, int> folders_;  // folders above them
};

// Decoded bytes that workers may hold at once, and what they hold: a file
// larger than the budget runs alone.
class MemoryBudget {
 public:
  static constexpr uint64_t kBytes = 32ull << 20;

  bool allows(uint64_t bytes) const { return held_ == 0 || held_ + bytes <= kBytes; }
  void take(uint64_t bytes) { held_ += bytes; }
  void give(uint64_t bytes) { held_ -= bytes; }

 private:
  uint64_t held_ = 0;
};

}  // namespace orvex
