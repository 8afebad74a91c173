#include <cstdio>
#include <ostream>
#include <unordered_map>

#include "catalog.h"
#include "files.h"
#include "human_bytes.h"

namespace orvex {
namespace {

std::string entryLabel(const EntryRow& row) {
  char text[48];
  std::snprintf(text, sizeof text, "entry %u (0x%08X)", row.position, row.entry.hash);
  return text;
}

// Writes the entry's bytes, decoded when compressed, to path.
bool writeEntry(const Store& store, const EntryRow& row, const std::string& path, uint64_t* written,
                std::string* error) {
  Location where;
  where.status = ReadStatus::kFound;
  where.position = row.position;
  where.entry = &store.index.entries()[row.position];
  where.offset = sectorOffset(row.entry.sector, store.image.baseSector);
  if (!(row.entry.flags & FLAG_COMPRESSED)) {
    *written = row.entry.size;
    return copyFileAtomic(path, store.image.fd, where.offset, row.entry.size, error,
                          Existing::kKeep);
  }
  const ReadResult file = readLocated(store, where);
  if (file.status != ReadStatus::kFound) {
    *error = file.why;
    return false;
  }
  *written = file.data.size();
  return writeFileAtomic(path, file.data.data(), file.data.size(), error, Existing::kKeep);
}

}  // namespace

std::string unnamedFileName(uint32_t hash, uint32_t earlierWithHash) {
  char name[32];
  if (earlierWithHash == 0) {
    std::snprintf(name, sizeof name, "%08X.bin", hash);
  } else {
    std::snprintf(name, sizeof name, "%08X-%u.bin", hash, earlierWithHash);
  }
  return name;
}

UnnamedStats writeUnnamed(const Store& store, const Inventory& inventory, const std::string& outDir,
                          std::ostream& out, std::ostream& err) {
  UnnamedStats stats;
  std::string error;
  if (!makeDirectories(outDir, &error)) {
    err << "orvex-tool: unnamed: " << error << '\n';
    ++stats.failed;
    return stats;
  }
  const std::string dir = outDir.ends_with('/') ? outDir : outDir + "/";
  std::unordered_map<uint32_t, uint32_t> seen;  // hash -> index entries so far
  for (const EntryRow& row : inventory.rows) {
    const uint32_t earlier = seen[row.entry.hash]++;
    if (row.state == EntryState::kOk) continue;
    // Every other state is either one that no name reaches, or one whose
    // bytes cannot be read.
    if (!row.problem.empty()) {
      err << "orvex-tool: unnamed: " << entryLabel(row) << ": " << row.problem << ", not written\n";
      ++stats.skipped;
      continue;
    }
    const std::string path = dir + unnamedFileName(row.entry.hash, earlier);
    uint64_t written = 0;
    if (!writeEntry(store, row, path, &written, &error)) {
      err << "orvex-tool: unnamed: " << path << ": " << error << ", not written\n";
      ++stats.failed;
      continue;
    }
    out << path << "  " << humanBytes(static_cast<double>(written)) << ", " << entryLabel(row)
        << ", " << stateName(row.state) << '\n';
    ++stats.written;
    stats.bytes += written;
  }
  return stats;
}

}  // namespace orvex
