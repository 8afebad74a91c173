#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "coding.h"
#include "store.h"

namespace orvex {
namespace {

uint32_t slotOf(uint32_t hash, uint32_t mask) {
  // Spread the hash bits so that hashes differing only in high bits do not
  // crowd one run of slots.
  return (hash * 0x9E3779B1u) >> 7 & mask;
}

}  // namespace

FileIndex::FileIndex(std::vector<IndexEntry> entries) : entries_(std::move(entries)) {
  size_t capacity = 16;
  while (capacity < entries_.size() * 2) capacity *= 2;
  slots_.assign(capacity, Slot{});
  mask_ = static_cast<uint32_t>(capacity - 1);
  for (size_t pos = 0; pos < entries_.size(); ++pos) {
    const IndexEntry& e = entries_[pos];
    if (e.sector == 0) continue;
    uint32_t s = slotOf(e.hash, mask_);
    while (slots_[s].position != 0 && slots_[s].hash != e.hash) s = (s + 1) & mask_;
    if (slots_[s].position == 0)
      slots_[s] = {e.hash, static_cast<uint32_t>(pos + 1)};  // first wins
  }
}

int64_t FileIndex::findPosition(uint32_t hash) const {
  if (slots_.empty()) return -1;
  for (uint32_t s = slotOf(hash, mask_);; s = (s + 1) & mask_) {
    const Slot& slot = slots_[s];
    if (slot.position == 0) return -1;
    if (slot.hash == hash) return slot.position - 1;
  }
}

FileIndex parseIndex(const uint8_t* data, size_t length) {
  std::vector<IndexEntry> entries(length / INDEX_ENTRY_SIZE);
  for (size_t i = 0; i < entries.size(); ++i) {
    const uint8_t* p = data + i * INDEX_ENTRY_SIZE;
    entries[i] = {decodeFixed32(p), decodeFixed32(p + 4), decodeFixed32(p + 8),
                  decodeFixed32(p + 12)};
  }
  return FileIndex(std::move(entries));
}

bool loadIndex(int fd, FileIndex* index, std::string* error) {
  struct stat st;
  std::vector<uint8_t> bytes;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) bytes.resize(static_cast<size_t>(st.st_size));
  size_t have = 0;
  for (;;) {
    uint8_t spill[1 << 16];
    const bool full = have == bytes.size();
    uint8_t* into = full ? spill : bytes.data() + have;
    const size_t room = full ? sizeof spill : bytes.size() - have;
    const ssize_t got = read(fd, into, room);
    if (got < 0) {
      if (errno == EINTR) continue;
      *error = std::strerror(errno);
      return false;
    }
    if (got == 0) break;
    if (full) bytes.insert(bytes.end(), spill, spill + got);
    have += static_cast<size_t>(got);
  }
  *index = parseIndex(bytes.data(), have);
  return true;
}

const IndexEntry* findEntry(const FileIndex& index, std::string_view name) {
  const int64_t pos = index.findPosition(hashName(name));
  return pos < 0 ? nullptr : &index.entries()[static_cast<size_t>(pos)];
}

}  // namespace orvex
