#include <cstdio>
#include <memory>
#include <ostream>
#include <unordered_map>

#include "catalog.h"
#include "output_dir.h"

namespace orvex {
namespace {

// Writes the entry's bytes, decoded when compressed, under name in out.
Status writeEntry(const Store& store, const EntryRow& row, OutputDir& out, const std::string& name,
                  uint64_t* written) {
  const Location where = locateEntry(store, row.position);
  uint64_t start = 0;
  const io::File* plain = store.image.plainFile(&start);
  if (!(row.entry.flags & FLAG_COMPRESSED) && plain != nullptr) {
    *written = row.entry.size;
    return out.copyNew(name, *plain, start + where.offset, row.entry.size);
  }
  std::vector<uint8_t> file;
  const Status read = readLocated(store, where, &file);
  if (!read.isOk()) return read;
  *written = file.size();
  return out.writeNew(name, file.data(), file.size());
}

// Whether the file at name in out holds exactly the entry's bytes.
bool holdsEntry(const Store& store, const EntryRow& row, OutputDir& out, const std::string& name) {
  OutputDir::Kind kind = OutputDir::Kind::kAbsent;
  std::vector<uint8_t> there, entry;
  return out.inspect(name, &kind, &there).isOk() && kind == OutputDir::Kind::kFile &&
         readLocated(store, locateEntry(store, row.position), &entry).isOk() && there == entry;
}

}  // namespace

UnnamedStats writeUnnamed(const Store& store, const Inventory& inventory, const std::string& outDir,
                          std::vector<UnnamedFile>* files) {
  UnnamedStats stats;
  std::unique_ptr<OutputDir> folder;
  const Status opened = OutputDir::open(outDir, true, &folder, *store.image.fs);
  if (!opened.isOk()) {
    files->push_back({nullptr, outDir, 0, opened.message()});
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
      files->push_back({&row, "", 0, row.problem});
      ++stats.skipped;
      continue;
    }
    UnnamedFile file{&row, dir + unnamedFileName(row.entry.hash, earlier), 0, ""};
    const Status put =
        writeEntry(store, row, *folder, unnamedFileName(row.entry.hash, earlier), &file.bytes);
    if (put.code() == Status::Code::kExists &&
        holdsEntry(store, row, *folder, unnamedFileName(row.entry.hash, earlier))) {
      file.present = true;
      ++stats.present;
    } else if (!put.isOk()) {
      file.problem = put.code() == Status::Code::kExists ? "already exists" : put.message();
      file.bytes = 0;
      ++stats.failed;
    } else {
      ++stats.written;
      stats.bytes += file.bytes;
    }
    files->push_back(std::move(file));
  }
  return stats;
}

void writeUnnamedJson(const std::vector<UnnamedFile>& files, const UnnamedStats& stats,
                      std::ostream& out) {
  using Layout = JsonWriter::Layout;
  JsonWriter json(out);
  json.beginObject(Layout::kLines).key("files").beginArray(Layout::kLines);
  for (const UnnamedFile& file : files) {
    if (file.row == nullptr) continue;
    char hash[16];
    std::snprintf(hash, sizeof hash, "0x%08X", file.row->entry.hash);
    json.beginObject().key("position").value(file.row->position).key("hash").value(hash);
    json.key("state").value(stateName(file.row->state)).key("path").valueOrNull(file.path);
    json.key("written").value(file.problem.empty() && !file.present);
    json.key("present").value(file.present).key("size").value(file.bytes);
    json.key("problem").valueOrNull(file.problem).endObject();
  }
  json.endArray().key("summary").beginObject();
  json.key("written").value(stats.written).key("bytes").value(stats.bytes);
  json.key("present").value(stats.present).key("not_written").value(stats.failed);
  json.key("skipped").value(stats.skipped).endObject().endObject();
}

}  // namespace orvex
