#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store.h"

namespace orvex {
namespace {

uint32_t slotOf(uint32_t hash, uint32_t mask) {
  // Spread the hash bits so that hashes differing only in high bits do not
  // crowd one run of slots.
  return (hash * 0x9E3779B1u) >> 7 & mask;
}

// Records always read, whatever the image's size.
constexpr uint64_t kMinRecordLimit = 65536;

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
    entries[i] = decodeIndexEntry(p);
  }
  return FileIndex(std::move(entries));
}

Status loadIndex(int fd, uint64_t imageSectors, FileIndex* index,
                 std::vector<std::string>* warnings) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Status::fromErrno(errno);
  if (S_ISDIR(st.st_mode)) return Status::fromErrno(EISDIR);
  // Allocate for no more records than could stand in the image, with room
  // for small images whose entries share sectors.
  const uint64_t limit = std::max<uint64_t>(imageSectors, kMinRecordLimit) * INDEX_ENTRY_SIZE;
  std::vector<uint8_t> bytes;
  if (S_ISREG(st.st_mode))
    bytes.resize(static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), limit)));
  // Read what fits the image; past that only count the length.
  uint64_t have = 0;
  for (;;) {
    uint8_t spill[1 << 16];
    const bool full = have >= bytes.size();
    uint8_t* into = full ? spill : bytes.data() + have;
    const size_t room = full ? sizeof spill : bytes.size() - static_cast<size_t>(have);
    const ssize_t got = read(fd, into, room);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Status::fromErrno(errno);
    }
    if (got == 0) break;
    if (full && bytes.size() < limit)
      bytes.insert(bytes.end(), spill,
                   spill + std::min<uint64_t>(static_cast<uint64_t>(got), limit - bytes.size()));
    have += static_cast<uint64_t>(got);
  }
  const uint64_t records = have / INDEX_ENTRY_SIZE;
  if (have == 0) warnings->push_back("the index is empty: no file can be found");
  if (have % INDEX_ENTRY_SIZE != 0)
    warnings->push_back("the index is " + std::to_string(have) +
                        " bytes long, not a whole number of 16-byte records; the last " +
                        std::to_string(have % INDEX_ENTRY_SIZE) + " bytes are ignored");
  if (records > imageSectors) {
    std::string warning = "the index has " + std::to_string(records) +
                          " records but the image only " + std::to_string(imageSectors) +
                          " sectors (are the image and the index swapped?)";
    if (have > limit)
      warning +=
          "; only the first " + std::to_string(limit / INDEX_ENTRY_SIZE) + " records are used";
    warnings->push_back(std::move(warning));
  }
  *index = parseIndex(bytes.data(), std::min<size_t>(bytes.size(), static_cast<size_t>(have)));
  return Status::ok();
}

const IndexEntry* findEntry(const FileIndex& index, std::string_view name) {
  const int64_t pos = index.findPosition(hashName(name));
  return pos < 0 ? nullptr : &index.entries()[static_cast<size_t>(pos)];
}

}  // namespace orvex
