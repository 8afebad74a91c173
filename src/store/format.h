// The on-disk structures of a disc's file store, each with its one encoder
// and its one decoder: the index record, the compressed stream's trailer,
// the "BOOT2" marker, name lists, eventsTable records and an event file's
// offset table. Nothing else reads or writes these bytes by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "status.h"

namespace orvex {

constexpr uint32_t SECTOR_SIZE = 2048;
constexpr uint32_t FLAG_COMPRESSED = 1;

// --- Index record: four little-endian 32-bit fields. ---
constexpr uint32_t INDEX_ENTRY_SIZE = 16;

struct IndexEntry {
  uint32_t hash = 0;
  uint32_t flags = 0;
  uint32_t sector = 0;  // counted from the base sector; 0 is never found
  uint32_t size = 0;    // stored length in bytes
};

void encodeIndexEntry(const IndexEntry& entry, uint8_t* out);
IndexEntry decodeIndexEntry(const uint8_t* in);
// A whole index file: the records back to back.
std::vector<uint8_t> encodeIndex(const std::vector<IndexEntry>& entries);

// --- Compressed stream trailer: the last 4 bytes of a stream. ---
constexpr size_t STREAM_TRAILER_SIZE = 4;
// Largest decoded length the trailer's 24 bits can state.
constexpr size_t MAX_COMPRESSED_LENGTH = (1u << 24) - 1;

struct StreamTrailer {
  uint32_t decodedLength = 0;  // 24-bit, stored big-endian
  uint8_t marker = 0;          // the stream's escape byte
};

void encodeStreamTrailer(const StreamTrailer& trailer, uint8_t* out);
// in points at the trailer's 4 bytes.
StreamTrailer decodeStreamTrailer(const uint8_t* in);

// --- The marker at the start of the store's base sector. ---
constexpr size_t BOOT_MARKER_SIZE = 5;
constexpr uint32_t BOOT_SEARCH_SECTORS = 300;

void encodeBootMarker(uint8_t* sector);
// True when the bytes start with the marker.
bool hasBootMarker(const uint8_t* in, size_t length);

// --- Name list: slot range at offsets 24 and 28, then 32-byte slots. ---
constexpr size_t NAME_LIST_HEADER_SIZE = 32;
constexpr size_t NAME_SLOT_SIZE = 32;
// Longest name a slot holds (it keeps its terminating NUL).
constexpr size_t MAX_NAME_LENGTH = NAME_SLOT_SIZE - 1;

// A list's 32-byte header giving the slot range start..end (exclusive).
std::vector<uint8_t> encodeNameListHeader(uint32_t start, uint32_t end);
struct NameListRange {
  uint32_t start = 0;  // first slot, in bytes from the start of the list
  uint32_t end = 0;    // end of the slots (exclusive)
};
// in holds at least NAME_LIST_HEADER_SIZE bytes.
NameListRange decodeNameListHeader(const uint8_t* in);
// A list naming every name given, each at most MAX_NAME_LENGTH bytes.
std::vector<uint8_t> encodeNameList(const std::vector<std::string>& names);
// The names in a list's slots. A list too short for its header is
// kInvalid; *warning is set when the slot range runs past the end of the
// bytes (the slots inside them are still returned).
Status decodeNameList(const uint8_t* data, size_t length, std::vector<std::string_view>* names,
                      std::string* warning);

// --- eventsTable: 256-byte records, one NUL-terminated name each. ---
constexpr size_t EVENT_RECORD_SIZE = 256;

std::vector<uint8_t> encodeEventsTable(const std::vector<std::string>& names);
// Every record's name; a final shorter record counts too.
std::vector<std::string_view> decodeEventsTable(const uint8_t* data, size_t length);

// --- Event file: 4 leading bytes, a signed piece count, the piece starts. ---
constexpr size_t EVENT_HEADER_SIZE = 8;

struct EventPiece {
  uint32_t start = 0;
  uint32_t end = 0;
};

// The header of an event file: the leading word, the count, then starts.
std::vector<uint8_t> encodeEventHeader(uint32_t lead, int32_t count,
                                       const std::vector<uint32_t>& starts);
// The pieces the offset table describes (the last runs to the end of the
// file), unchecked against the file's length. A header or table that runs
// past the file's end is kInvalid; a count of 0 or less gives no piece.
Status decodeEventPieces(const uint8_t* data, size_t length, std::vector<EventPiece>* pieces);
// Overwrites the piece starts in an event file's offset table, keeping its
// leading word, its count and everything after the table. The table must
// hold exactly starts.size() entries; otherwise kInvalid and nothing changes.
Status rewriteEventStarts(const std::vector<uint32_t>& starts, std::vector<uint8_t>* file);

}  // namespace orvex
