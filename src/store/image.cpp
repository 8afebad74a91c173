#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

bool openImage(const std::string& path, DiscImage* image) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return false;
  }
  const off_t end = lseek(fd, 0, SEEK_END);
  image->fd = fd;
  image->size = end < 0 ? 0 : static_cast<uint64_t>(end);
  image->baseSector = 0xFFFFFFFFu;
  return true;
}

void closeImage(DiscImage* image) {
  if (image->fd >= 0) close(image->fd);
  image->fd = -1;
}

uint32_t findBootSector(const DiscImage& image) {
  static const uint8_t kMarker[5] = {'B', 'O', 'O', 'T', '2'};
  for (uint32_t sector = 0; sector < BOOT_SEARCH_SECTORS; ++sector) {
    uint8_t head[5];
    if (readAt(image.fd, head, sizeof head, uint64_t{sector} * SECTOR_SIZE) != 5) continue;
    if (std::memcmp(head, kMarker, sizeof head) == 0) return sector;
  }
  return 0xFFFFFFFFu;
}

Location locateFile(const Store& store, std::string_view name) {
  Location where;
  where.position = store.index.findPosition(hashName(name));
  if (where.position < 0) return where;
  where.entry = &store.index.entries()[static_cast<size_t>(where.position)];
  where.offset = sectorOffset(where.entry->sector, store.image.baseSector);
  if (where.offset > store.image.size || where.entry->size > store.image.size - where.offset) {
    where.status = ReadStatus::kDamaged;
    where.why = "stored bytes run past the end of the image";
    return where;
  }
  where.status = ReadStatus::kFound;
  return where;
}

ReadStatus readLocatedInto(const Store& store, const Location& where, std::vector<uint8_t>* data,
                           std::string* why) {
  if (where.status != ReadStatus::kFound) {
    *why = where.why;
    return where.status;
  }
  const uint32_t size = where.entry->size;
  data->resize(size);
  const int64_t got = readAt(store.image.fd, data->data(), size, where.offset);
  if (got != static_cast<int64_t>(size)) {
    *why = got < 0 ? std::string("cannot read the image: ") + std::strerror(errno)
                   : "stored bytes run past the end of the image";
    data->clear();
    return ReadStatus::kDamaged;
  }
  if (where.entry->flags & FLAG_COMPRESSED) {
    size_t length = 0;
    if (!decompress(*data, size, &length, why)) {
      data->clear();
      return ReadStatus::kDamaged;
    }
  }
  return ReadStatus::kFound;
}

ReadResult readLocated(const Store& store, const Location& where) {
  ReadResult result;
  result.position = where.position;
  result.status = readLocatedInto(store, where, &result.data, &result.why);
  return result;
}

ReadResult readFile(const Store& store, std::string_view name) {
  return readLocated(store, locateFile(store, name));
}

}  // namespace orvex
