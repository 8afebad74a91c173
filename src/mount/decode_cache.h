// Decoded files kept in memory for the mount, bounded in bytes: least
// recently used first out. Two readers of one file at once decode it once.
// A decode in flight counts against the bound. A file larger than the bound
// is decoded alone, everything kept let go, and kept alone while it is read:
// as long as it was read within the last `patience`, other files are decoded
// for each read and not kept, so that reading it beside other files does not
// decode it again and again; after that the next file takes its room.
// Buffers handed out stay valid as long as a reader holds them, and count
// against the bound until then. A decode that fails is not kept: those
// waiting for it decode again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "status.h"

namespace orvex {

class DecodeCache {
 public:
  using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
  using Decode = std::function<Status(std::vector<uint8_t>*)>;

  explicit DecodeCache(uint64_t capacity,
                       std::chrono::steady_clock::duration patience = std::chrono::seconds(1))
      : capacity_(capacity), patience_(patience) {}

  // The decoded bytes of the file key, whose decoded length is about size:
  // from the cache, from a decode another reader has started, or decoded
  // here.
  Status get(uint64_t key, uint64_t size, const Decode& decode, Bytes* bytes);

  uint64_t capacity() const { return capacity_; }
  // Bytes of decoded files alive (kept or held by readers) and of decodes
  // in flight.
  uint64_t heldBytes() const;
  // How many decodes ran.
  uint64_t decodes() const;
  // How many readers wait for a decode another one runs.
  uint64_t waiting() const;

 private:
  struct Entry {
    Bytes bytes;  // once decoded
    bool decoding = true;
    std::list<uint64_t>::iterator place;  // in lru_, once kept
    bool kept = false;
  };

  // Drops kept files, least recently used first, until size more fits or
  // nothing kept is left; their buffers go to dropped, to be let go of once
  // mutex_ is released. With mutex_ held.
  void makeRoom(uint64_t size, std::vector<Bytes>* dropped);
  Bytes own(std::vector<uint8_t>&& bytes);

  const uint64_t capacity_;
  const std::chrono::steady_clock::duration patience_;
  mutable std::mutex mutex_;
  std::condition_variable decoded_;
  std::unordered_map<uint64_t, Entry> entries_;
  std::list<uint64_t> lru_;  // kept files, most recently used first
  // Outlives the cache while readers hold buffers.
  std::shared_ptr<std::atomic<uint64_t>> held_ = std::make_shared<std::atomic<uint64_t>>(0);
  // The kept file larger than the bound, if any, and when it was last read.
  std::optional<uint64_t> large_;
  std::chrono::steady_clock::time_point largeRead_;
  uint64_t decodes_ = 0;
  uint64_t waiting_ = 0;
};

}  // namespace orvex
