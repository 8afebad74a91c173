// The file store: the index of hashed names, the backward decompressor and
// reading a named file out of the disc image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format.h"
#include "fs.h"
#include "sector_image.h"
#include "status.h"

namespace orvex {

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

// Records always read, whatever the image's size.
constexpr uint64_t MIN_RECORD_LIMIT = 65536;
// The most records read from an index for an image of imageSectors sectors:
// an index with more than could stand in the image is not this image's.
inline uint64_t recordLimit(uint64_t imageSectors) {
  return imageSectors > MIN_RECORD_LIMIT ? imageSectors : MIN_RECORD_LIMIT;
}

// What of an index file was not loaded: empty when every byte was.
struct IndexShortfall {
  uint64_t partialBytes = 0;  // a trailing part of a record
  uint64_t recordsLeft = 0;   // whole records past the limit
  bool moreUnknown = false;   // the file goes on past the limit, how far is unknown
  bool whole() const { return partialBytes == 0 && recordsLeft == 0 && !moreUnknown; }
};

// Reads and parses an index file open for reading, up to recordLimit()
// records, whatever kind of file it is (a device or a pipe without end
// included); a failure says only why. Oddities (no record, a length that is
// not a whole number of records, too many records) are added to warnings.
Status loadIndex(io::Fs& fs, const io::File& file, uint64_t imageSectors, FileIndex* index,
                 IndexShortfall* shortfall, Problems* warnings);
// The same for an index of length bytes whose first bytes (up to
// recordLimit() records) are in bytes: one read out of the image.
void loadIndexBytes(const std::vector<uint8_t>& bytes, uint64_t length, uint64_t imageSectors,
                    FileIndex* index, IndexShortfall* shortfall, Problems* warnings);

const IndexEntry* findEntry(const FileIndex& index, std::string_view name);

// Decodes the n stored bytes at the start of buf in place, growing buf when
// the decoded length is larger. On success buf's first *decodedLength bytes
// are the file. A damaged stream gives kDamaged, saying why.
Status decompress(std::vector<uint8_t>& buf, size_t n, size_t* decodedLength);

// Whether decompress() may use its AVX2 loop where the processor has AVX2,
// BMI2 and LZCNT (the default). Tests turn it off to check the SSE2 loop on
// such processors too; the results are the same either way.
void allowWideDecoder(bool allow);

// Encodes data as a backward stream that decompress() reads back exactly.
// Returns false, leaving *stream unspecified, when data is longer than
// MAX_COMPRESSED_LENGTH or when no marker byte gives a stream that the
// in-place decoder can read.
bool compress(const uint8_t* data, size_t length, std::vector<uint8_t>* stream);

// The base sector before a marker is found: -1, so that sector N reads
// from byte (N - 1) * 2048.
constexpr uint32_t NO_BASE_SECTOR = 0xFFFFFFFFu;

// The open disc image, as its 2048-byte sectors (a raw image's data), and
// the store's base sector inside it. The image is closed with the object.
struct DiscImage {
  io::Fs* fs = nullptr;  // what the image is read through
  SectorImage sectors;
  uint64_t size = 0;  // bytes of 2048-byte sectors
  uint32_t baseSector = NO_BASE_SECTOR;

  // The file whose bytes are the image's own, from *start on, for copies
  // inside the kernel; null for a raw image, whose data must be read out of
  // its sectors.
  const io::File* plainFile(uint64_t* start) const {
    *start = sectors.dataStart();
    return sectors.raw() ? nullptr : &sectors.dataFile();
  }
};

// Reads length bytes of the image's 2048-byte sectors at offset, fewer only
// where it ends; *form2, when given, is set when a byte came from a Mode 2
// Form 2 sector.
Status readImage(const DiscImage& image, uint8_t* into, size_t length, uint64_t offset,
                 size_t* got, bool* form2 = nullptr);

// Opens an image for reading: plain, raw, or a cue sheet (see SectorImage).
// An image that cannot be read at offsets (a pipe, a directory) is refused.
// Failures say only why (as strerror does).
Status openImage(const std::string& path, DiscImage* image, io::Fs& fs);

// The first of sectors 0..299 that starts with "BOOT2", if any.
std::optional<uint32_t> findBootSector(const DiscImage& image);

// Byte offset of a stored sector: ((sector + baseSector) mod 2^32) * 2048.
inline uint64_t sectorOffset(uint32_t sector, uint32_t baseSector) {
  return static_cast<uint64_t>(static_cast<uint32_t>(sector + baseSector)) * SECTOR_SIZE;
}

// Where an index read out of the image's ISO 9660 file system lies in it,
// for writing a patched index (of the same length) back in its place.
// Sectors are the image's 2048-byte sectors, the ones readImage reads: its
// bytes are readImage's bytes sector * 2048 to sector * 2048 + length; in a
// raw image they are the data of the data track's raw sectors sector to
// sector + sectors() - 1, counted from the track's first.
struct IndexExtent {
  std::string isoPath;  // the file's path in the file system, as its records name it
  uint32_t sector = 0;  // the extent's first sector
  uint64_t length = 0;  // bytes of the index: the file's size
  // Sectors the extent spans; the last one's bytes past length are not the index's.
  uint64_t sectors() const { return (length + SECTOR_SIZE - 1) / SECTOR_SIZE; }
};

// The run-wide view of the store that every pass reads through.
struct Store {
  DiscImage image;
  FileIndex index;
  IndexShortfall indexShortfall;  // what of the index file was left unread
  // Set when the index was read out of the image (openStoreWithIndexInImage).
  std::optional<IndexExtent> indexInImage;
};

// Which of the two files a failed openStore could not use.
enum class StorePart { kImage, kIndex };

// Opens the image, loads the index and finds the base sector, as every
// command does. On failure *failed says which file and the status why.
// Oddities that do not stop a run go to warnings, each as "PATH: WHAT".
Status openStore(const std::string& imagePath, const std::string& indexPath, Store* store,
                 Problems* warnings, StorePart* failed, io::Fs& fs);

// openStore with the index read out of the image: the file at isoPath of its
// ISO 9660 file system (see findIsoFile), whose extent store->indexInImage
// then gives. Failures of the index part (*failed kIndex): no ISO 9660 file
// system, no file at isoPath, a folder there, a file in several extents or
// one running past the image's end.
Status openStoreWithIndexInImage(const std::string& imagePath, const std::string& isoPath,
                                 Store* store, Problems* warnings, StorePart* failed, io::Fs& fs);

// The image and the index make no sense together: openStore found oddities
// (no BOOT2 marker, an index that is empty, not whole records or longer than
// the image has sectors) and no name's lookup reached an index entry.
inline bool makesNoSense(const Problems& oddities, uint64_t entriesReached) {
  return !oddities.empty() && entriesReached == 0;
}

// Where a named file's stored bytes lie in the image. status is kNotFound
// when no entry has the name's hash, kDamaged when the stored bytes run past
// the end of the image.
struct Location {
  Status status = Status::notFound("no such entry");  // short: no allocation per lookup
  int64_t position = -1;  // index position of the entry, when one was found
  const IndexEntry* entry = nullptr;
  uint64_t offset = 0;  // byte offset in the image
};

// Decoding a compressed stream consumes at most two stored bytes for each
// byte it writes, plus a final match token, from the stream's end down. Of a
// stream of n stored bytes stating a decoded length of s, only the last
// reachableStreamBytes(n, s) can be read; when that is less than n, the
// stream's start lies out of reach, and decoding those bytes placed s bytes
// into a buffer gives the same bytes and verdict as decoding all n in place.
inline uint64_t reachableStreamBytes(uint64_t n, uint64_t s) {
  const uint64_t reach = 2 * s + 64;
  return n >= s + reach + 64 ? reach : n;
}

// The length a located compressed entry's stream trailer states, when its
// trailer can be read.
std::optional<uint64_t> statedLength(const Store& store, const Location& where);

// Looks a name up.
Location locateFile(const Store& store, std::string_view name);
// The location of the entry at an index position, whatever its hash.
Location locateEntry(const Store& store, size_t position);

// Reads a located file's bytes, decoding them when compressed, into a buffer
// the caller may keep from file to file; on success *data holds exactly the
// file. A damaged stream gives kDamaged. Of a compressed entry only the
// stored bytes decoding can reach are read, so memory and time follow the
// decoded length.
// *form2, when given, is set when a stored byte came from a Mode 2 Form 2
// sector of a raw image (of which a 2048-byte image holds only part).
Status readLocated(const Store& store, const Location& where, std::vector<uint8_t>* data,
                   bool* form2 = nullptr);

// Looks a name up and reads the file: locateFile, then readLocated. position
// gets the index position the name resolved to, or -1.
Status readFile(const Store& store, std::string_view name, std::vector<uint8_t>* data,
                int64_t* position = nullptr);

}  // namespace orvex
