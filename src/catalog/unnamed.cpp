#include <cstdio>
#include <memory>
#include <ostream>
#include <unordered_map>

#include "catalog.h"
#include "human_bytes.h"
#include "output_dir.h"

namespace orvex {
namespace {

std::string entryLabel(const EntryRow& row) {
  char text[48];
  std::snprintf(text, sizeof text, "entry %u (0x%08X)", row.position, row.entry.hash);
  return text;
}

// Writes the entry's bytes, decoded when compressed, under name in out.
Status writeEntry(const Store& store, const EntryRow& row, OutputDir& out, const std::string& name,
                  uint64_t* written) {
  const Location where = locateEntry(store, row.position);
  if (!(row.entry.flags & FLAG_COMPRESSED)) {
    *written = row.entry.size;
    return out.copyNew(name, store.image.fd(), where.offset, row.entry.size);
  }
  std::vector<uint8_t> file;
  const Status read = readLocated(store, where, &file);
  if (!read.isOk()) return read;
  *written = file.size();
  return out.writeNew(name, file.data(), file.size());
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
  std::unique_ptr<OutputDir> folder;
  const Status opened = OutputDir::open(outDir, true, &folder);
  if (!opened.isOk()) {
    err << "orvex-tool: unnamed: " << outDir << ": " << opened.message() << '\n';
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
    const std::string name = unnamedFileName(row.entry.hash, earlier);
    const std::string path = dir + name;
    uint64_t written = 0;
    const Status put = writeEntry(store, row, *folder, name, &written);
    if (!put.isOk()) {
      const std::string why =
          put.code() == Status::Code::kExists ? "already exists" : put.message();
      err << "orvex-tool: unnamed: " << path << ": " << why << ", not written\n";
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
