#include "format.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace orvex {
namespace {

uint32_t decodeFixed32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void encodeFixed32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

constexpr uint8_t kBootMarker[BOOT_MARKER_SIZE] = {'B', 'O', 'O', 'T', '2'};
constexpr size_t kListStartOffset = 24;
constexpr size_t kListEndOffset = 28;

std::string_view nulTerminated(const uint8_t* data, size_t room) {
  const char* text = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(text, '\0', room);
  return {text, nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : room};
}

}  // namespace

void encodeIndexEntry(const IndexEntry& entry, uint8_t* out) {
  encodeFixed32(out, entry.hash);
  encodeFixed32(out + 4, entry.flags);
  encodeFixed32(out + 8, entry.sector);
  encodeFixed32(out + 12, entry.size);
}

IndexEntry decodeIndexEntry(const uint8_t* in) {
  return {decodeFixed32(in), decodeFixed32(in + 4), decodeFixed32(in + 8), decodeFixed32(in + 12)};
}

std::vector<uint8_t> encodeIndex(const std::vector<IndexEntry>& entries) {
  std::vector<uint8_t> bytes(entries.size() * INDEX_ENTRY_SIZE);
  for (size_t i = 0; i < entries.size(); ++i)
    encodeIndexEntry(entries[i], &bytes[i * INDEX_ENTRY_SIZE]);
  return bytes;
}

void encodeStreamTrailer(const StreamTrailer& trailer, uint8_t* out) {
  assert(trailer.decodedLength <= MAX_COMPRESSED_LENGTH);
  out[0] = static_cast<uint8_t>(trailer.decodedLength >> 16);
  out[1] = static_cast<uint8_t>(trailer.decodedLength >> 8);
  out[2] = static_cast<uint8_t>(trailer.decodedLength);
  out[3] = trailer.marker;
}

StreamTrailer decodeStreamTrailer(const uint8_t* in) {
  return {static_cast<uint32_t>(in[0]) << 16 | static_cast<uint32_t>(in[1]) << 8 | in[2], in[3]};
}

void encodeBootMarker(uint8_t* sector) { std::memcpy(sector, kBootMarker, BOOT_MARKER_SIZE); }

bool hasBootMarker(const uint8_t* in, size_t length) {
  return length >= BOOT_MARKER_SIZE && std::memcmp(in, kBootMarker, BOOT_MARKER_SIZE) == 0;
}

std::vector<uint8_t> encodeNameListHeader(uint32_t start, uint32_t end) {
  std::vector<uint8_t> header(NAME_LIST_HEADER_SIZE, 0);
  encodeFixed32(&header[kListStartOffset], start);
  encodeFixed32(&header[kListEndOffset], end);
  return header;
}

NameListRange decodeNameListHeader(const uint8_t* in) {
  return {decodeFixed32(in + kListStartOffset), decodeFixed32(in + kListEndOffset)};
}

std::vector<uint8_t> encodeNameList(const std::vector<std::string>& names) {
  const auto end = static_cast<uint32_t>(NAME_LIST_HEADER_SIZE + NAME_SLOT_SIZE * names.size());
  std::vector<uint8_t> list(end, 0);
  encodeFixed32(&list[kListStartOffset], NAME_LIST_HEADER_SIZE);
  encodeFixed32(&list[kListEndOffset], end);
  for (size_t i = 0; i < names.size(); ++i) {
    assert(names[i].size() <= MAX_NAME_LENGTH);
    std::memcpy(&list[NAME_LIST_HEADER_SIZE + NAME_SLOT_SIZE * i], names[i].data(),
                std::min(names[i].size(), MAX_NAME_LENGTH));
  }
  return list;
}

Status decodeNameList(const uint8_t* data, size_t length, std::vector<std::string_view>* names,
                      std::string* warning) {
  names->clear();
  warning->clear();
  if (length < NAME_LIST_HEADER_SIZE)
    return Status::invalid("name list shorter than its 32-byte header");
  const NameListRange range = decodeNameListHeader(data);
  const uint64_t start = range.start, end = range.end;
  if (end > length) *warning = "name list runs past the end of the file; using the slots inside it";
  for (uint64_t p = start; p < end && p < length; p += NAME_SLOT_SIZE)
    names->push_back(nulTerminated(
        data + p, static_cast<size_t>(std::min<uint64_t>(NAME_SLOT_SIZE, length - p))));
  return Status::ok();
}

std::vector<uint8_t> encodeEventsTable(const std::vector<std::string>& names) {
  std::vector<uint8_t> table(names.size() * EVENT_RECORD_SIZE, 0);
  for (size_t i = 0; i < names.size(); ++i)
    std::memcpy(&table[i * EVENT_RECORD_SIZE], names[i].data(),
                std::min(names[i].size(), EVENT_RECORD_SIZE));
  return table;
}

std::vector<std::string_view> decodeEventsTable(const uint8_t* data, size_t length) {
  std::vector<std::string_view> names;
  for (size_t offset = 0; offset < length; offset += EVENT_RECORD_SIZE)
    names.push_back(nulTerminated(data + offset, std::min(EVENT_RECORD_SIZE, length - offset)));
  return names;
}

std::vector<uint8_t> encodeEventHeader(uint32_t lead, int32_t count,
                                       const std::vector<uint32_t>& starts) {
  std::vector<uint8_t> header(EVENT_HEADER_SIZE + 4 * starts.size());
  encodeFixed32(&header[0], lead);
  encodeFixed32(&header[4], static_cast<uint32_t>(count));
  for (size_t i = 0; i < starts.size(); ++i)
    encodeFixed32(&header[EVENT_HEADER_SIZE + 4 * i], starts[i]);
  return header;
}

Status decodeEventPieces(const uint8_t* data, size_t length, std::vector<EventPiece>* pieces) {
  pieces->clear();
  if (length < EVENT_HEADER_SIZE)
    return Status::invalid("event file shorter than its 8-byte header");
  const auto count = static_cast<int32_t>(decodeFixed32(data + 4));
  if (count <= 0) return Status::ok();
  if (EVENT_HEADER_SIZE + 4 * static_cast<uint64_t>(count) > length)
    return Status::invalid("event file's piece table runs past its end");
  pieces->reserve(static_cast<size_t>(count));
  const auto fileEnd = static_cast<uint32_t>(std::min<size_t>(length, UINT32_MAX));
  for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
    const uint8_t* at = data + EVENT_HEADER_SIZE + 4 * i;
    pieces->push_back(
        {decodeFixed32(at), i + 1 == static_cast<size_t>(count) ? fileEnd : decodeFixed32(at + 4)});
  }
  return Status::ok();
}

Status rewriteEventStarts(const std::vector<uint32_t>& starts, std::vector<uint8_t>* file) {
  if (file->size() < EVENT_HEADER_SIZE)
    return Status::invalid("event file shorter than its 8-byte header");
  const auto count = static_cast<int32_t>(decodeFixed32(file->data() + 4));
  if (count < 0 || static_cast<size_t>(count) != starts.size())
    return Status::invalid("event file's piece count differs from the starts given");
  if (EVENT_HEADER_SIZE + 4 * starts.size() > file->size())
    return Status::invalid("event file's piece table runs past its end");
  for (size_t i = 0; i < starts.size(); ++i)
    encodeFixed32(file->data() + EVENT_HEADER_SIZE + 4 * i, starts[i]);
  return Status::ok();
}

}  // namespace orvex
