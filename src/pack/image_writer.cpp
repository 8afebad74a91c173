#include "image_writer.h"

#include <algorithm>
#include <cstring>

#include "store.h"

namespace orvex {

bool ImageWriter::writeZeros(uint64_t count, std::string* error) {
  static const uint8_t kZeros[64 * 1024] = {};
  while (count > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof kZeros));
    if (!append(kZeros, n, error)) return false;
    count -= n;
  }
  return true;
}

bool ImageWriter::writeBootSector(std::string* error) {
  uint8_t sector[SECTOR_SIZE] = {};
  encodeBootMarker(sector);
  return writeZeros(uint64_t{baseSector_} * SECTOR_SIZE - offset_, error) &&
         append(sector, sizeof sector, error);
}

bool ImageWriter::beginFile(uint32_t* sector, std::string* error) {
  const uint64_t relative = offset_ / SECTOR_SIZE - baseSector_;
  if (relative > UINT32_MAX) {
    *error = "image too large: sector numbers exceed 32 bits";
    return false;
  }
  *sector = static_cast<uint32_t>(relative);
  fileStart_ = offset_;
  return true;
}

bool ImageWriter::append(const uint8_t* data, size_t length, std::string* error) {
  if (!out_->write(data, length, error)) return false;
  offset_ += length;
  return true;
}

bool ImageWriter::endFile(std::string* error) {
  const uint64_t used = std::max<uint64_t>(offset_ - fileStart_, 1);
  const uint64_t padded = (used + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE;
  return writeZeros(fileStart_ + padded - offset_, error);
}

}  // namespace orvex
