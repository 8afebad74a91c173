#include "image_writer.h"

#include <algorithm>
#include <cstring>

#include "file_io.h"
#include "store.h"

namespace orvex {

Status ImageWriter::writeZeros(uint64_t count) {
  static const uint8_t kZeros[64 * 1024] = {};
  while (count > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof kZeros));
    const Status status = append(kZeros, n);
    if (!status.isOk()) return status;
    count -= n;
  }
  return Status::ok();
}

Status ImageWriter::writeBootSector() {
  uint8_t sector[SECTOR_SIZE] = {};
  encodeBootMarker(sector);
  const Status status = writeZeros(uint64_t{baseSector_} * SECTOR_SIZE - offset_);
  return status.isOk() ? append(sector, sizeof sector) : status;
}

Status ImageWriter::beginFile(uint32_t* sector) {
  const uint64_t relative = offset_ / SECTOR_SIZE - baseSector_;
  if (relative > UINT32_MAX)
    return Status::invalid("image too large: sector numbers exceed 32 bits");
  *sector = static_cast<uint32_t>(relative);
  fileStart_ = offset_;
  return Status::ok();
}

Status ImageWriter::append(const uint8_t* data, size_t length) {
  const Status status = io::writeAll(fs_, file_, data, length);
  if (!status.isOk()) return Status::ioError(path_ + ": " + status.message());
  offset_ += length;
  return status;
}

Status ImageWriter::endFile() {
  const uint64_t used = std::max<uint64_t>(offset_ - fileStart_, 1);
  const uint64_t padded = (used + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE;
  return writeZeros(fileStart_ + padded - offset_);
}

}  // namespace orvex
