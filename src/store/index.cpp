#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file_io.h"
#include "store.h"

namespace orvex {
namespace {

uint32_t slotOf(uint32_t hash, uint32_t mask) {
  // Spread the hash bits so that hashes differing only in high bits do not
  // crowd one run of slots.
  return (hash * 0x9E3779B1u) >> 7 & mask;
}

// "1 sector", "2 sectors".
std::string counted(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
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
    entries[i] = decodeIndexEntry(p);
  }
  return FileIndex(std::move(entries));
}

namespace {

// What loadIndex and loadIndexBytes share once the bytes are read: bytes
// holds the first bytes of an index of length bytes (exactly, when
// measured; else at least, more telling whether it goes on).
void takeIndex(const std::vector<uint8_t>& bytes, uint64_t length, bool measured, bool more,
               uint64_t imageSectors, FileIndex* index, IndexShortfall* shortfall,
               Problems* warnings) {
  *shortfall = IndexShortfall{};
  const uint64_t limitRecords = recordLimit(imageSectors);
  const uint64_t records = length / INDEX_ENTRY_SIZE;
  if (length == 0) warnings->add("the index is empty: no file can be found");
  if (length % INDEX_ENTRY_SIZE != 0 && (measured || !more)) {
    const uint64_t rest = length % INDEX_ENTRY_SIZE;
    shortfall->partialBytes = rest;
    warnings->add("the index is " + counted(length, "byte") +
                  " long, not a whole number of 16-byte records; the last " +
                  counted(rest, "byte") + (rest == 1 ? " is" : " are") + " ignored");
  }
  if (more || records > imageSectors) {
    std::string warning = "the index has " +
                          (more && !measured ? "more than " + std::to_string(limitRecords)
                                             : std::to_string(records)) +
                          " records but the image has only " + counted(imageSectors, "sector") +
                          " (are the image and the index swapped?)";
    if (more) {
      warning += "; only the first " + std::to_string(limitRecords) + " records are used";
      if (measured)
        shortfall->recordsLeft = records - limitRecords;
      else
        shortfall->moreUnknown = true;
    }
    warnings->add(std::move(warning));
  }
  *index = parseIndex(bytes.data(), bytes.size());
}

}  // namespace

Status loadIndex(io::Fs& fs, const io::File& file, uint64_t imageSectors, FileIndex* index,
                 IndexShortfall* shortfall, Problems* warnings) {
  *shortfall = IndexShortfall{};
  io::FileInfo info;
  if (Status s = fs.info(file, &info); !s.isOk()) return s;
  if (info.kind == io::FileKind::kFolder) return Status::fromErrno(EISDIR);
  const uint64_t limit = recordLimit(imageSectors) * INDEX_ENTRY_SIZE;
  std::vector<uint8_t> bytes;
  bool more = false;
  if (Status s = io::readUpTo(fs, file, limit, &bytes, &more); !s.isOk()) return s;
  // A regular file's length tells how much was left; a device or a pipe is
  // read no further than the limit and one byte.
  const bool measured = info.kind == io::FileKind::kFile && info.size >= bytes.size();
  const uint64_t length = measured && more ? info.size : bytes.size();
  takeIndex(bytes, length, measured, more, imageSectors, index, shortfall, warnings);
  return Status::ok();
}

void loadIndexBytes(const std::vector<uint8_t>& bytes, uint64_t length, uint64_t imageSectors,
                    FileIndex* index, IndexShortfall* shortfall, Problems* warnings) {
  takeIndex(bytes, length, true, length > bytes.size(), imageSectors, index, shortfall, warnings);
}

const IndexEntry* findEntry(const FileIndex& index, std::string_view name) {
  const int64_t pos = index.findPosition(hashName(name));
  return pos < 0 ? nullptr : &index.entries()[static_cast<size_t>(pos)];
}

}  // namespace orvex
