// Streams a disc image: zeroed sectors up to the base sector, the sector
// that starts with "BOOT2", then each file from a sector boundary, padded to
// whole sectors. Every file takes at least one sector, so each has its own
// sector number.
#pragma once

#include <cstdint>
#include <string>

#include "fs.h"
#include "status.h"

namespace orvex {

class ImageWriter {
 public:
  // Writes at file's position through fs; failures name path.
  ImageWriter(io::Fs& fs, const io::File& file, std::string path, uint32_t baseSector)
      : fs_(fs), file_(file), path_(std::move(path)), baseSector_(baseSector) {}

  Status writeBootSector();
  // Starts a file at the next sector; *sector counts from the base sector.
  Status beginFile(uint32_t* sector);
  Status append(const uint8_t* data, size_t length);
  Status endFile();

 private:
  Status writeZeros(uint64_t count);

  io::Fs& fs_;
  const io::File& file_;
  std::string path_;
  uint32_t baseSector_;
  uint64_t offset_ = 0;
  uint64_t fileStart_ = 0;
};

}  // namespace orvex
