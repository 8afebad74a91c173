#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <ostream>

#include "catalog.h"
#include "human_bytes.h"

namespace orvex {
namespace {

std::string hexHash(uint32_t hash) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", hash);
  return text;
}

const char* kindName(const IndexEntry& e) {
  return e.flags & FLAG_COMPRESSED ? "compressed" : "stored";
}

// Names come from the disc: keep control bytes off the terminal.
std::string shownNames(const std::vector<std::string>& names) {
  if (names.empty()) return "-";
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ", ";
    for (char c : name) text += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  }
  return text;
}

constexpr size_t kColumns = 8;
using Line = std::array<std::string, kColumns>;
// Numbers are right-aligned; the last column is left unpadded.
constexpr bool kRightAligned[kColumns] = {true, false, true, true, false, true, false, false};

void writeAligned(const std::vector<Line>& lines, std::ostream& out) {
  size_t width[kColumns] = {};
  for (const Line& line : lines)
    for (size_t c = 0; c < kColumns; ++c) width[c] = std::max(width[c], line[c].size());
  for (const Line& line : lines) {
    std::string text;
    for (size_t c = 0; c < kColumns; ++c) {
      const std::string pad(width[c] - line[c].size(), ' ');
      if (c > 0) text += "  ";
      if (c + 1 == kColumns) {
        text += line[c];
      } else {
        text += kRightAligned[c] ? pad + line[c] : line[c] + pad;
      }
    }
    out << text << '\n';
  }
}

uint64_t totalEntries(const Inventory& inventory) {
  uint64_t entries = 0;
  for (const StateTotal& t : inventory.totals) entries += t.entries;
  return entries;
}

uint64_t totalStoredBytes(const Inventory& inventory) {
  uint64_t bytes = 0;
  for (const StateTotal& t : inventory.totals) bytes += t.storedBytes;
  return bytes;
}

}  // namespace

void writeInventoryTable(const Inventory& inventory, std::ostream& out) {
  std::vector<Line> lines;
  lines.reserve(inventory.rows.size() + 1);
  lines.push_back({"#", "hash", "sector", "size", "kind", "decoded", "state", "names"});
  for (const EntryRow& row : inventory.rows) {
    const IndexEntry& e = row.entry;
    lines.push_back(
        {std::to_string(row.position), hexHash(e.hash), std::to_string(e.sector),
         humanBytes(static_cast<double>(e.size)), kindName(e),
         row.decodedSize ? humanBytes(static_cast<double>(*row.decodedSize)) : "-",
         stateName(row.state),
         shownNames(row.names) + (row.givenBy.empty() ? "" : " (" + row.givenBy + ")")});
  }
  writeAligned(lines, out);

  out << '\n';
  char text[96];
  std::snprintf(text, sizeof text, "%-12s %10s %16s\n", "state", "entries", "stored");
  out << text;
  for (int s = 0; s < ENTRY_STATE_COUNT; ++s) {
    const StateTotal& t = inventory.totals[s];
    std::snprintf(text, sizeof text, "%-12s %10" PRIu64 " %16s\n",
                  stateName(static_cast<EntryState>(s)), t.entries,
                  humanBytes(static_cast<double>(t.storedBytes)).c_str());
    out << text;
  }
  std::snprintf(text, sizeof text, "%-12s %10" PRIu64 " %16s\n", "total", totalEntries(inventory),
                humanBytes(static_cast<double>(totalStoredBytes(inventory))).c_str());
  out << text;
}

void writeInventoryJson(const Inventory& inventory, std::ostream& out) {
  using Layout = JsonWriter::Layout;
  JsonWriter json(out);
  json.beginObject(Layout::kLines).key("entries").beginArray(Layout::kLines);
  for (const EntryRow& row : inventory.rows) {
    const IndexEntry& e = row.entry;
    json.beginObject()
        .key("position")
        .value(row.position)
        .key("hash")
        .value(hexHash(e.hash))
        .key("sector")
        .value(e.sector)
        .key("size")
        .value(e.size)
        .key("kind")
        .value(kindName(e))
        .key("decoded_size");
    if (row.decodedSize) {
      json.value(*row.decodedSize);
    } else {
      json.null();
    }
    json.key("state").value(stateName(row.state)).key("names").beginArray();
    for (const std::string& name : row.names) json.value(name);
    json.endArray().key("given_by").valueOrNull(row.givenBy);
    json.key("problem").valueOrNull(row.problem).endObject();
  }
  json.endArray().key("summary").beginObject(Layout::kLines);
  json.key("entries").value(totalEntries(inventory));
  json.key("stored_bytes").value(totalStoredBytes(inventory));
  json.key("states").beginObject(Layout::kLines);
  for (int s = 0; s < ENTRY_STATE_COUNT; ++s) {
    const StateTotal& t = inventory.totals[s];
    json.key(stateName(static_cast<EntryState>(s))).beginObject();
    json.key("entries").value(t.entries).key("stored_bytes").value(t.storedBytes).endObject();
  }
  json.endObject().endObject().endObject();
}

}  // namespace orvex
