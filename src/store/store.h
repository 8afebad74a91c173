// The file store: the index of hashed names, the backward decompressor and
// reading a named file out of the disc image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

constexpr uint32_t SECTOR_SIZE = 2048;
constexpr uint32_t INDEX_ENTRY_SIZE = 16;
constexpr uint32_t FLAG_COMPRESSED = 1;

// One 16-byte index record, as stored.
struct IndexEntry {
  uint32_t hash = 0;
  uint32_t flags = 0;
  uint32_t sector = 0;  // counted from the base sector; 0 is never found
  uint32_t size = 0;    // stored length in bytes
};

// The loaded index: the records in file order, plus a table from hash to the
// first record that a lookup returns, so that lookups cost O(1).
class FileIndex {
 public:
  FileIndex() = default;
  explicit FileIndex(std::vector<IndexEntry> entries);

  const std::vector<IndexEntry>& entries() const { return entries_; }
  // Position of the first entry with this hash and a non-zero sector, or -1.
  int64_t findPosition(uint32_t hash) const;

 private:
  // Open addressing. The hash sits beside the position so that a lookup
  // reads one slot, not the entry it names as well.
  struct Slot {
    uint32_t hash = 0;
    uint32_t position = 0;  // entry position + 1; 0 marks an empty slot
  };
  std::vector<IndexEntry> entries_;
  std::vector<Slot> slots_;
  uint32_t mask_ = 0;
};

uint32_t hashName(std::string_view name);

// Parses an index file's bytes; trailing bytes short of a record are ignored.
FileIndex parseIndex(const uint8_t* data, size_t length);
// Reads and parses an index file open for reading. False on a read error.
bool loadIndex(int fd, FileIndex* index, std::string* error);

const IndexEntry* findEntry(const FileIndex& index, std::string_view name);

// Decodes the n stored bytes at the start of buf in place, growing buf when
// the decoded length is larger. On success buf's first *decodedLength bytes
// are the file. On a damaged stream returns false and says why.
bool decompress(std::vector<uint8_t>& buf, size_t n, size_t* decodedLength, std::string* why);

// Largest decoded length a compressed stream's 24-bit trailer can state.
constexpr size_t MAX_COMPRESSED_LENGTH = (1u << 24) - 1;

// Encodes data as a backward stream that decompress() reads back exactly.
// Returns false, leaving *stream unspecified, when data is longer than
// MAX_COMPRESSED_LENGTH or when no marker byte gives a stream that the
// in-place decoder can read.
bool compress(const uint8_t* data, size_t length, std::vector<uint8_t>* stream);

// The open disc image and the store's base sector inside it.
struct DiscImage {
  int fd = -1;
  uint64_t size = 0;
  uint32_t baseSector = 0xFFFFFFFFu;  // stays -1 when no marker is found
};

// Opens an image for reading. False with errno set on failure.
bool openImage(const std::string& path, DiscImage* image);
void closeImage(DiscImage* image);

constexpr uint32_t BOOT_SEARCH_SECTORS = 300;
// The first of sectors 0..299 that starts with "BOOT2", or 0xFFFFFFFF.
uint32_t findBootSector(const DiscImage& image);

// Byte offset of a stored sector: ((sector + baseSector) mod 2^32) * 2048.
inline uint64_t sectorOffset(uint32_t sector, uint32_t baseSector) {
  return static_cast<uint64_t>(static_cast<uint32_t>(sector + baseSector)) * SECTOR_SIZE;
}

// The run-wide view of the store that every pass reads through.
struct Store {
  DiscImage image;
  FileIndex index;
};

enum class ReadStatus { kFound, kNotFound, kDamaged };

struct ReadResult {
  ReadStatus status = ReadStatus::kNotFound;
  std::vector<uint8_t> data;  // the file, exactly data.size() bytes
  std::string why;            // for kDamaged
  int64_t position = -1;      // index position of the entry, when one was found
};

// Where a named file's stored bytes lie in the image.
struct Location {
  ReadStatus status = ReadStatus::kNotFound;
  int64_t position = -1;  // index position of the entry, when one was found
  const IndexEntry* entry = nullptr;
  uint64_t offset = 0;  // byte offset in the image
  std::string why;      // for kDamaged
};

// Looks a name up; stored bytes that run past the end of the image give
// kDamaged.
Location locateFile(const Store& store, std::string_view name);

// Reads a located file's bytes, decoding them when compressed; a damaged
// stream gives kDamaged.
ReadResult readLocated(const Store& store, const Location& where);
// The same into a buffer the caller keeps from file to file, so that its
// memory is reused; on kFound *data holds exactly the file.
ReadStatus readLocatedInto(const Store& store, const Location& where, std::vector<uint8_t>* data,
                           std::string* why);

// Looks a name up and returns the file's bytes: locateFile, then readLocated.
ReadResult readFile(const Store& store, std::string_view name);

}  // namespace orvex
