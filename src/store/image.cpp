#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "file_io.h"
#include "iso9660.h"
#include "store.h"

namespace orvex {

Status openImage(const std::string& path, DiscImage* image, io::Fs& fs) {
  if (Status s = SectorImage::open(fs, path, &image->sectors); !s.isOk()) return s;
  image->fs = &fs;
  image->size = image->sectors.size();
  image->baseSector = NO_BASE_SECTOR;
  return Status::ok();
}

Status readImage(const DiscImage& image, uint8_t* into, size_t length, uint64_t offset,
                 size_t* got, bool* form2) {
  return image.sectors.read(into, length, offset, got, form2);
}

std::optional<uint32_t> findBootSector(const DiscImage& image) {
  for (uint32_t sector = 0; sector < BOOT_SEARCH_SECTORS; ++sector) {
    uint8_t head[BOOT_MARKER_SIZE];
    size_t got = 0;
    const Status read =
        readImage(image, head, sizeof head, uint64_t{sector} * SECTOR_SIZE, &got);
    if (read.isOk() && got > 0 && hasBootMarker(head, got)) return sector;
  }
  return std::nullopt;
}

namespace {

// Finds the store's base sector from its BOOT2 marker, as every command does.
void takeBaseSector(const std::string& imagePath, Store* store, Problems* warnings) {
  const std::optional<uint32_t> base = findBootSector(store->image);
  if (base) {
    store->image.baseSector = *base;
  } else {
    warnings->add(imagePath,
                  "no BOOT2 marker in sectors 0 to 299; the base sector is taken as -1, so an "
                  "entry's sector N is read from byte (N-1)*2048");
  }
}

}  // namespace

Status openStore(const std::string& imagePath, const std::string& indexPath, Store* store,
                 Problems* warnings, StorePart* failed, io::Fs& fs) {
  StorePart unused;
  if (!failed) failed = &unused;
  *failed = StorePart::kImage;
  DiscImage image;
  if (Status status = openImage(imagePath, &image, fs); !status.isOk()) return status;
  *failed = StorePart::kIndex;
  io::File index;
  if (Status s = fs.openFile(io::Folder::working(), indexPath, io::FileIntent::kRead,
                             io::Follow::kYes, &index);
      !s.isOk())
    return s;
  const uint64_t sectors = (image.size + SECTOR_SIZE - 1) / SECTOR_SIZE;
  Problems oddities;
  const Status loaded =
      loadIndex(fs, index, sectors, &store->index, &store->indexShortfall, &oddities);
  for (const std::string& oddity : oddities.lines()) warnings->add(indexPath, oddity);
  if (!loaded.isOk()) return loaded;
  store->image = std::move(image);
  takeBaseSector(imagePath, store, warnings);
  return Status::ok();
}

Status openStoreWithIndexInImage(const std::string& imagePath, const std::string& isoPath,
                                 Store* store, Problems* warnings, StorePart* failed, io::Fs& fs) {
  StorePart unused;
  if (!failed) failed = &unused;
  *failed = StorePart::kImage;
  DiscImage image;
  if (Status status = openImage(imagePath, &image, fs); !status.isOk()) return status;
  *failed = StorePart::kIndex;
  IsoVolume volume;
  Problems unreadable;
  if (Status s = readIsoVolume(image.sectors, &volume, &unreadable); !s.isOk()) return s;
  const IsoFile* file = nullptr;
  if (Status s = findIsoFile(volume, isoPath, &file); !s.isOk()) {
    if (s.code() != Status::Code::kNotFound || unreadable.empty()) return s;
    return Status::notFound(s.message() + " (" + std::to_string(unreadable.size()) +
                            " of its parts could not be read: 'orvex-tool disc' lists them)");
  }
  if (file->severalExtents)
    return Status::invalid("is recorded in several extents; an index is read from one");
  const uint64_t offset = uint64_t{file->sector} * SECTOR_SIZE;
  if (offset > image.size || file->size > image.size - offset)
    return Status::damaged("its extent runs past the end of the image");
  const uint64_t sectors = (image.size + SECTOR_SIZE - 1) / SECTOR_SIZE;
  std::vector<uint8_t> bytes(
      static_cast<size_t>(std::min<uint64_t>(file->size, recordLimit(sectors) * INDEX_ENTRY_SIZE)));
  size_t got = 0;
  if (Status s = readImage(image, bytes.data(), bytes.size(), offset, &got); !s.isOk()) return s;
  if (got != bytes.size()) return Status::damaged("its extent runs past the end of the image");
  Problems oddities;
  loadIndexBytes(bytes, file->size, sectors, &store->index, &store->indexShortfall, &oddities);
  for (const std::string& oddity : oddities.lines()) warnings->add(isoPath, oddity);
  store->image = std::move(image);
  store->indexInImage = IndexExtent{file->path, file->sector, file->size};
  takeBaseSector(imagePath, store, warnings);
  return Status::ok();
}

std::optional<uint64_t> statedLength(const Store& store, const Location& where) {
  if (!where.status.isOk() || where.entry->size < STREAM_TRAILER_SIZE) return std::nullopt;
  uint8_t trailer[STREAM_TRAILER_SIZE];
  size_t got = 0;
  const Status read = readImage(store.image, trailer, sizeof trailer,
                                where.offset + where.entry->size - STREAM_TRAILER_SIZE, &got);
  if (!read.isOk() || got != sizeof trailer) return std::nullopt;
  return decodeStreamTrailer(trailer).decodedLength;
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

Status readLocated(const Store& store, const Location& where, std::vector<uint8_t>* data,
                   bool* form2) {
  data->clear();
  if (!where.status.isOk()) return where.status;
  const uint32_t size = where.entry->size;
  // Where the stream's start is out of reach, its end goes above room for
  // the output: see reachableStreamBytes.
  uint64_t skipped = 0, room = 0;
  if (where.entry->flags & FLAG_COMPRESSED) {
    if (const std::optional<uint64_t> stated = statedLength(store, where)) {
      const uint64_t reach = reachableStreamBytes(size, *stated);
      if (reach < size) {
        skipped = size - reach;
        room = *stated;
      }
    }
  }
  const size_t length = static_cast<size_t>(size - skipped);
  data->resize(room + length);
  size_t got = 0;
  const Status read =
      readImage(store.image, data->data() + room, length, where.offset + skipped, &got, form2);
  if (!read.isOk() || got != length) {
    data->clear();
    return !read.isOk() ? Status::fromErrno("cannot read the image", read.osError())
                        : Status::damaged("stored bytes run past the end of the image");
  }
  if (where.entry->flags & FLAG_COMPRESSED) {
    size_t decodedLength = 0;
    const Status decoded = decompress(*data, data->size(), &decodedLength);
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
