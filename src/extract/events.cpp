#include <cstring>

#include "coding.h"
#include "extract.h"
#include "files.h"

namespace orvex {
namespace {

constexpr size_t kEventRecordSize = 256;

}  // namespace

bool parseEventPieces(const uint8_t* data, size_t length, std::vector<EventPiece>* pieces,
                      std::string* why) {
  pieces->clear();
  if (length < 8) {
    *why = "event file shorter than its 8-byte header";
    return false;
  }
  const auto count = static_cast<int32_t>(decodeFixed32(data + 4));
  if (count <= 0) return true;
  if (8 + 4 * static_cast<uint64_t>(count) > length) {
    *why = "event file's piece table runs past its end";
    return false;
  }
  pieces->reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t start = decodeFixed32(data + 8 + 4 * static_cast<size_t>(i));
    const uint32_t end = i == count - 1 ? static_cast<uint32_t>(std::min<size_t>(length, UINT32_MAX))
                                        : decodeFixed32(data + 12 + 4 * static_cast<size_t>(i));
    pieces->push_back({start, end});
  }
  return true;
}

std::optional<std::string> pieceDirectory(std::string_view eventName) {
  const size_t dot = eventName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view dir = eventName.substr(0, dot);
  if (isUnsafeName(dir)) return std::nullopt;
  return std::string(dir);
}

void splitEventFile(Run& run, std::string_view name) {
  dumpFile(run, name);
  if (name.empty() || isUnsafeName(name)) return;  // dumpFile has said why

  const std::string path(name);
  std::vector<uint8_t> bytes;
  std::string error;
  switch (readLocalFile(path, &bytes, &error)) {
    case ReadLocal::kOk:
      break;
    case ReadLocal::kMissing:
      return;  // neither present nor in the index
    case ReadLocal::kNotAFile:
      warn(run, name, "event file is not a regular file, not split");
      return;
    case ReadLocal::kError:
      warn(run, name, error.empty() ? "cannot open the event file, not split" : error);
      return;
  }
  const std::optional<std::string> dir = pieceDirectory(name);
  if (!dir) {
    warn(run, name, "event file name gives no usable piece directory, not split");
    return;
  }
  std::vector<EventPiece> pieces;
  if (!parseEventPieces(bytes.data(), bytes.size(), &pieces, &error)) {
    warn(run, name, error + ", not split");
    return;
  }
  if (!makeDirectories(*dir, &error)) {
    warn(run, name, error);
    return;
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof number, "/%03zu.mset", i);
    const std::string piecePath = *dir + number;
    const EventPiece& piece = pieces[i];
    if (piece.start > piece.end || piece.end > bytes.size()) {
      warn(run, piecePath, "piece offsets lie outside the event file, piece skipped");
      continue;
    }
    if (!writeFileAtomic(piecePath, bytes.data() + piece.start, piece.end - piece.start, &error))
      warn(run, piecePath, error);
  }
}

void splitEventTable(Run& run) {
  std::vector<uint8_t> table;
  std::string error;
  const ReadLocal status = readLocalFile("eventsTable", &table, &error);
  if (status == ReadLocal::kMissing) return;
  if (status != ReadLocal::kOk) {
    warn(run, "eventsTable", error.empty() ? "not a readable file, event pass skipped" : error);
    return;
  }
  for (size_t offset = 0; offset < table.size(); offset += kEventRecordSize) {
    const size_t room = std::min(kEventRecordSize, table.size() - offset);
    const char* record = reinterpret_cast<const char*>(table.data() + offset);
    const void* nul = std::memchr(record, '\0', room);
    splitEventFile(run, std::string_view(record, nul ? static_cast<const char*>(nul) - record : room));
  }
}

}  // namespace orvex
