#include "decode_cache.h"

namespace orvex {

uint64_t DecodeCache::heldBytes() const { return held_->load(); }

uint64_t DecodeCache::decodes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return decodes_;
}

void DecodeCache::makeRoom(uint64_t size, std::vector<Bytes>* dropped) {
  uint64_t freeing = 0;  // of dropped buffers no reader holds
  while (held_->load() - freeing + size > capacity_ && !lru_.empty()) {
    const auto victim = entries_.find(lru_.back());
    lru_.pop_back();
    if (large_ == victim->first) large_.reset();
    if (victim->second.bytes.use_count() == 1) freeing += victim->second.bytes->size();
    dropped->push_back(std::move(victim->second.bytes));
    entries_.erase(victim);
  }
}

// A buffer whose bytes count as held until the last holder lets it go.
DecodeCache::Bytes DecodeCache::own(std::vector<uint8_t>&& bytes) {
  const uint64_t size = bytes.size();
  held_->fetch_add(size);
  std::weak_ptr<std::atomic<uint64_t>> counter = held_;
  return Bytes(new std::vector<uint8_t>(std::move(bytes)),
               [size, counter](const std::vector<uint8_t>* gone) {
                 delete gone;
                 if (const auto held = counter.lock()) held->fetch_sub(size);
               });
}

uint64_t DecodeCache::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

Status DecodeCache::get(uint64_t key, uint64_t size, const Decode& decode, Bytes* bytes) {
  std::vector<Bytes> dropped;  // let go of after the lock
  std::unique_lock<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  for (auto it = entries_.find(key); it != entries_.end(); it = entries_.find(key)) {
    if (!it->second.decoding) {
      if (it->second.kept) lru_.splice(lru_.begin(), lru_, it->second.place);
      if (large_ == key) largeRead_ = now;
      *bytes = it->second.bytes;
      return Status::ok();
    }
    // Another reader decodes it: wait for it.
    ++waiting_;
    decoded_.wait(lock);
    --waiting_;
  }
  entries_[key];  // decoding
  // A large file still being read keeps its room; this one is served alone.
  const bool keep = !large_ || now - largeRead_ >= patience_;
  if (keep) makeRoom(size, &dropped);
  held_->fetch_add(size);  // the decode in flight
  ++decodes_;
  lock.unlock();
  dropped.clear();

  std::vector<uint8_t> decoded;
  const Status status = decode(&decoded);

  lock.lock();
  held_->fetch_sub(size);
  if (!status.isOk()) {
    entries_.erase(key);
    decoded_.notify_all();
    return status;
  }
  *bytes = own(std::move(decoded));
  Entry& entry = entries_[key];
  entry.decoding = false;
  entry.bytes = *bytes;
  if (keep) {
    makeRoom(0, &dropped);
    lru_.push_front(key);
    entry.place = lru_.begin();
    entry.kept = true;
    if ((*bytes)->size() > capacity_) {
      large_ = key;
      largeRead_ = std::chrono::steady_clock::now();
    }
  } else {
    entries_.erase(key);
  }
  decoded_.notify_all();
  lock.unlock();
  return Status::ok();
}

}  // namespace orvex
