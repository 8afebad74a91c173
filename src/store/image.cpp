#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "store.h"

namespace orvex {
namespace {

// Reads exactly len bytes at offset unless the file ends first; returns the
// number of bytes read, or -1 on an error.
int64_t readAt(int fd, uint8_t* into, size_t len, uint64_t offset) {
  size_t done = 0;
  while (done < len) {
    const ssize_t got = pread(fd, into + done, len - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

}  // namespace

Status openImage(const std::string& path, DiscImage* image) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::fromErrno(errno);
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    close(fd);
    return Status::fromErrno(err);
  }
  // Stored files are read at their offsets: a pipe or a terminal would read
  // as an empty image.
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) {
    close(fd);
    return Status::invalid("cannot be read at offsets (a pipe or a terminal?); give a file");
  }
  image->fd = fd;
  image->size = static_cast<uint64_t>(end);
  image->baseSector = NO_BASE_SECTOR;
  return Status::ok();
}

void closeImage(DiscImage* image) {
  if (image->fd >= 0) close(image->fd);
  image->fd = -1;
}

std::optional<uint32_t> findBootSector(const DiscImage& image) {
  for (uint32_t sector = 0; sector < BOOT_SEARCH_SECTORS; ++sector) {
    uint8_t head[BOOT_MARKER_SIZE];
    const int64_t got = readAt(image.fd, head, sizeof head, uint64_t{sector} * SECTOR_SIZE);
    if (got > 0 && hasBootMarker(head, static_cast<size_t>(got))) return sector;
  }
  return std::nullopt;
}

Status openStore(const std::string& imagePath, const std::string& indexPath, Store* store,
                 std::vector<std::string>* warnings, StorePart* failed) {
  StorePart unused;
  if (!failed) failed = &unused;
  *failed = StorePart::kImage;
  Status status = openImage(imagePath, &store->image);
  if (!status.isOk()) return status;
  *failed = StorePart::kIndex;
  const int fd = open(indexPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    status = Status::fromErrno(errno);
  } else {
    const uint64_t sectors = (store->image.size + SECTOR_SIZE - 1) / SECTOR_SIZE;
    std::vector<std::string> oddities;
    status = loadIndex(fd, sectors, &store->index, &oddities);
    close(fd);
    for (const std::string& oddity : oddities) warnings->push_back(indexPath + ": " + oddity);
  }
  if (!status.isOk()) {
    closeImage(&store->image);
    return status;
  }
  const std::optional<uint32_t> base = findBootSector(store->image);
  if (base) {
    store->image.baseSector = *base;
  } else {
    warnings->push_back(imagePath +
                        ": no BOOT2 marker in sectors 0 to 299; sectors are counted from -1");
  }
  return Status::ok();
}

Location locateEntry(const Store& store, size_t position) {
  Location where;
  where.position = static_cast<int64_t>(position);
  where.entry = &store.index.entries()[position];
  where.offset = sectorOffset(where.entry->sector, store.image.baseSector);
  // Reading nothing cannot fail, wherever it starts.
  if (where.entry->size != 0 &&
      (where.offset > store.image.size || where.entry->size > store.image.size - where.offset)) {
    where.status = Status::damaged("stored bytes run past the end of the image");
    return where;
  }
  where.status = Status::ok();
  return where;
}

Location locateFile(const Store& store, std::string_view name) {
  const int64_t position = store.index.findPosition(hashName(name));
  if (position < 0) return Location{};
  return locateEntry(store, static_cast<size_t>(position));
}

Status readLocated(const Store& store, const Location& where, std::vector<uint8_t>* data) {
  data->clear();
  if (!where.status.isOk()) return where.status;
  const uint32_t size = where.entry->size;
  data->resize(size);
  const int64_t got = size == 0 ? 0 : readAt(store.image.fd, data->data(), size, where.offset);
  if (got != static_cast<int64_t>(size)) {
    const Status status = got < 0 ? Status::fromErrno("cannot read the image", errno)
                                  : Status::damaged("stored bytes run past the end of the image");
    data->clear();
    return status;
  }
  if (where.entry->flags & FLAG_COMPRESSED) {
    size_t length = 0;
    const Status decoded = decompress(*data, size, &length);
    if (!decoded.isOk()) {
      data->clear();
      return decoded;
    }
  }
  return Status::ok();
}

Status readFile(const Store& store, std::string_view name, std::vector<uint8_t>* data,
                int64_t* position) {
  const Location where = locateFile(store, name);
  if (position) *position = where.position;
  return readLocated(store, where, data);
}

}  // namespace orvex
