#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "image_writer.h"
#include "pack.h"
#include "paths.h"

namespace orvex {
namespace {

constexpr size_t kChunk = 1 << 20;

bool fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

// Reads a source file in chunks, checking it still has the size it was
// listed with.
class SourceReader {
 public:
  explicit SourceReader(const SourceFile& file) : file_(file) {}
  ~SourceReader() {
    if (fd_ >= 0) close(fd_);
  }

  bool open(std::string* error) {
    fd_ = ::open(file_.path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0 || fail(error, file_.name + ": cannot read: " + std::strerror(errno));
  }

  // Reads the next part of the file into *chunk, empty at the end.
  bool next(std::vector<uint8_t>* chunk, size_t most, std::string* error) {
    chunk->resize(most);
    size_t have = 0;
    while (have < most) {
      const ssize_t got = read(fd_, chunk->data() + have, most - have);
      if (got < 0) {
        if (errno == EINTR) continue;
        return fail(error, file_.name + ": cannot read: " + std::strerror(errno));
      }
      if (got == 0) break;
      have += static_cast<size_t>(got);
    }
    chunk->resize(have);
    done_ += have;
    if (done_ > file_.size || (have < most && done_ != file_.size))
      return fail(error, file_.name + ": changed size while being packed");
    return true;
  }

 private:
  const SourceFile& file_;
  int fd_ = -1;
  uint64_t done_ = 0;
};

void addRecord(std::vector<uint8_t>* index, uint32_t hash, uint32_t flags, uint32_t sector,
               uint32_t size) {
  uint8_t record[INDEX_ENTRY_SIZE];
  encodeIndexEntry({hash, flags, sector, size}, record);
  index->insert(index->end(), record, record + sizeof record);
}

// Writes one file's bytes as stored, compressed when the mode and the data
// allow, and appends its index record.
bool packBytes(const std::string& name, const std::vector<uint8_t>& data, StoreMode mode,
               ImageWriter* image, std::vector<uint8_t>* index, std::string* error) {
  std::vector<uint8_t> stream;
  const bool compressed = encodeForStore(data.data(), data.size(), mode, &stream);
  const std::vector<uint8_t>& stored = compressed ? stream : data;
  uint32_t sector = 0;
  if (!image->beginFile(&sector, error) || !image->append(stored.data(), stored.size(), error) ||
      !image->endFile(error))
    return false;
  addRecord(index, hashName(name), compressed ? FLAG_COMPRESSED : 0, sector,
            static_cast<uint32_t>(stored.size()));
  return true;
}

bool packFile(const SourceFile& file, StoreMode mode, ImageWriter* image,
              std::vector<uint8_t>* index, std::string* error) {
  SourceReader reader(file);
  if (!reader.open(error)) return false;
  std::vector<uint8_t> chunk;
  if (mode != StoreMode::kStore && file.size <= MAX_COMPRESSED_LENGTH) {
    // Small enough to be a compressed stream: read it whole, one byte more
    // than listed to notice growth.
    return reader.next(&chunk, static_cast<size_t>(file.size) + 1, error) &&
           packBytes(file.name, chunk, mode, image, index, error);
  }
  uint32_t sector = 0;
  if (!image->beginFile(&sector, error)) return false;
  do {
    if (!reader.next(&chunk, kChunk, error) || !image->append(chunk.data(), chunk.size(), error))
      return false;
  } while (!chunk.empty());
  if (!image->endFile(error)) return false;
  addRecord(index, hashName(file.name), 0, sector, static_cast<uint32_t>(file.size));
  return true;
}

bool checkOutputPath(const std::string& path, const std::string& sourceRoot, std::string* resolved,
                     std::string* error) {
  if (!resolveOutputPath(path, resolved)) return fail(error, path + ": " + std::strerror(errno));
  if (isInside(*resolved, sourceRoot) || *resolved == sourceRoot)
    return fail(error, path + ": output lies inside the source directory");
  return true;
}

}  // namespace

bool packTree(const std::string& sourceDir, const std::string& imagePath,
              const std::string& indexPath, const PackOptions& options, std::string* error) {
  if (options.baseSector >= BOOT_SEARCH_SECTORS)
    return fail(error, "base sector " + std::to_string(options.baseSector) + " is not below " +
                           std::to_string(BOOT_SEARCH_SECTORS));
  std::vector<SourceFile> files;
  std::vector<std::string> problems;
  listSourceTree(sourceDir, &files, &problems);
  checkPackNames(files, &problems);
  std::string root, image, index, why;
  if (resolvePath(sourceDir, &root)) {
    if (!checkOutputPath(imagePath, root, &image, &why)) problems.push_back(why);
    if (!checkOutputPath(indexPath, root, &index, &why)) problems.push_back(why);
    if (!image.empty() && image == index)
      problems.push_back("image and index must be different files");
  }
  if (!problems.empty()) {
    error->clear();
    for (const std::string& p : problems) *error += (error->empty() ? "" : "\n") + p;
    return false;
  }

  OutputFile imageFile, indexFile;
  if (!imageFile.create(imagePath, error) || !indexFile.create(indexPath, error)) return false;
  ImageWriter writer(&imageFile, options.baseSector);
  if (!writer.writeBootSector(error)) return false;

  std::vector<uint8_t> records;
  std::vector<std::string> names;
  for (const SourceFile& f : files) names.push_back(f.name);
  if (!packBytes(NAME_LIST_NAME, encodeNameList(names), options.mode, &writer, &records, error))
    return false;
  for (const SourceFile& f : files) {
    if (!packFile(f, options.mode, &writer, &records, error)) return false;
  }
  // Both files are complete on disk before either takes its final name.
  return indexFile.write(records.data(), records.size(), error) && imageFile.finish(error) &&
         indexFile.finish(error) && imageFile.commit(error) && indexFile.commit(error);
}

}  // namespace orvex
