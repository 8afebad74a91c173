#include <cerrno>
#include <cstring>

#include "file_io.h"
#include "image_writer.h"
#include "new_file.h"
#include "pack.h"
#include "paths.h"

namespace orvex {
namespace {

constexpr size_t kChunk = 1 << 20;

// Reads a source file in chunks, checking it still has the size it was
// listed with.
class SourceReader {
 public:
  SourceReader(io::Fs& fs, const SourceFile& file) : fs_(fs), file_(file) {}

  Status open() {
    return fs_
        .openFile(io::Folder::working(), file_.path, io::FileIntent::kRead, io::Follow::kYes, &file)
        .context(file_.name + ": cannot read");
  }

  // Reads the next part of the file into *chunk, empty at the end.
  Status next(std::vector<uint8_t>* chunk, size_t most) {
    chunk->resize(most);
    size_t have = 0;
    const Status read = io::readFull(fs_, file, chunk->data(), most, &have);
    if (!read.isOk()) return Status::fromErrno(file_.name + ": cannot read", read.osError());
    chunk->resize(have);
    done_ += have;
    if (done_ > file_.size || (have < most && done_ != file_.size))
      return Status::invalid(file_.name + ": changed size while being packed");
    return Status::ok();
  }

 private:
  io::Fs& fs_;
  const SourceFile& file_;
  io::File file;
  uint64_t done_ = 0;
};

void addRecord(std::vector<uint8_t>* index, const IndexEntry& entry) {
  uint8_t record[INDEX_ENTRY_SIZE];
  encodeIndexEntry(entry, record);
  index->insert(index->end(), record, record + sizeof record);
}

// Writes one file's bytes as stored, compressed when the mode and the data
// allow, and appends its index record.
Status packBytes(const std::string& name, const std::vector<uint8_t>& data, StoredForm form,
                 ImageWriter* image, std::vector<uint8_t>* index) {
  std::vector<uint8_t> stream;
  const bool compressed = encodeForStore(data.data(), data.size(), form, false, &stream);
  const std::vector<uint8_t>& stored = compressed ? stream : data;
  uint32_t sector = 0;
  Status status = image->beginFile(&sector);
  if (status.isOk()) status = image->append(stored.data(), stored.size());
  if (status.isOk()) status = image->endFile();
  if (status.isOk())
    addRecord(index, {hashName(name), compressed ? FLAG_COMPRESSED : 0, sector,
                      static_cast<uint32_t>(stored.size())});
  return status;
}

Status packFile(io::Fs& fs, const SourceFile& file, StoredForm form, ImageWriter* image,
                std::vector<uint8_t>* index) {
  SourceReader reader(fs, file);
  Status status = reader.open();
  if (!status.isOk()) return status;
  std::vector<uint8_t> chunk;
  if (form != StoredForm::kStore && file.size <= MAX_COMPRESSED_LENGTH) {
    // Small enough to be a compressed stream: read it whole, one byte more
    // than listed to notice growth.
    status = reader.next(&chunk, static_cast<size_t>(file.size) + 1);
    return status.isOk() ? packBytes(file.name, chunk, form, image, index) : status;
  }
  uint32_t sector = 0;
  status = image->beginFile(&sector);
  while (status.isOk()) {
    status = reader.next(&chunk, kChunk);
    if (status.isOk()) status = image->append(chunk.data(), chunk.size());
    if (chunk.empty()) break;
  }
  if (status.isOk()) status = image->endFile();
  if (status.isOk())
    addRecord(index, {hashName(file.name), 0, sector, static_cast<uint32_t>(file.size)});
  return status;
}

// The output path resolved, or a problem: it cannot be resolved or lies in
// the source tree.
std::string checkOutputPath(io::Fs& fs, const std::string& path, const std::string& sourceRoot,
                            std::string* resolved) {
  if (const Status status = resolveOutputPath(fs, path, resolved); !status.isOk())
    return path + ": " + status.message();
  if (isInside(*resolved, sourceRoot) || *resolved == sourceRoot)
    return path + ": output lies inside the source directory";
  return "";
}

}  // namespace

Status packTree(io::Fs& fs, const std::string& sourceDir, const std::string& imagePath,
                const std::string& indexPath, const PackOptions& options, Problems* problems,
                PackStats* stats) {
  if (options.baseSector >= BOOT_SEARCH_SECTORS)
    return Status::invalid("base sector " + std::to_string(options.baseSector) + " is not below " +
                           std::to_string(BOOT_SEARCH_SECTORS));
  std::vector<SourceFile> files;
  const size_t before = problems->size();
  listSourceTree(fs, sourceDir, &files, problems, stats ? &stats->emptyFolders : nullptr);
  checkPackNames(files, problems);
  std::string root, image, index;
  if (resolvePath(fs, sourceDir, &root).isOk()) {
    for (const auto& [path, resolved] : {std::pair{&imagePath, &image}, {&indexPath, &index}}) {
      const std::string problem = checkOutputPath(fs, *path, root, resolved);
      if (!problem.empty()) problems->add(problem);
    }
    if (!image.empty() && image == index) problems->add("image and index must be different files");
  }
  if (problems->size() != before) return Status::invalid("the tree cannot be packed");

  io::OutputFile imageFile(fs), indexFile(fs);
  Status status = imageFile.create(imagePath);
  if (status.isOk()) status = indexFile.create(indexPath);
  ImageWriter writer(fs, imageFile.file(), imagePath, options.baseSector);
  if (status.isOk()) status = writer.writeBootSector();

  // The name list first, so that the names survive an image cut short.
  std::vector<uint8_t> records;
  std::vector<std::string> names;
  for (const SourceFile& f : files) names.push_back(f.name);
  if (status.isOk())
    status = packBytes(NAME_LIST_NAME, encodeNameList(names), options.form, &writer, &records);
  for (size_t i = 0; status.isOk() && i < files.size(); ++i) {
    const size_t recordsBefore = records.size();
    status = packFile(fs, files[i], options.form, &writer, &records);
    if (status.isOk() && stats) {
      ++stats->files;
      stats->bytesIn += files[i].size;
      stats->bytesStored += decodeIndexEntry(records.data() + recordsBefore).size;
    }
  }
  if (status.isOk())
    status = indexFile.about(io::writeAll(fs, indexFile.file(), records.data(), records.size()));
  // Both files are complete on disk before either takes its final name.
  if (status.isOk()) status = io::publishTogether(imageFile, &indexFile);
  return status;
}

}  // namespace orvex
