// Writing a patch's bytes into the file that holds an image's 2048-byte
// sectors: at their offset in a plain image; in a raw image, into the data
// of the raw sectors that hold them, each sector rewritten whole with its
// own header and subheader and its EDC and ECC computed anew.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "fs.h"
#include "patch.h"
#include "sector_image.h"
#include "status.h"

namespace orvex {

// What writing into the image needs to know of it.
Status layoutOf(const SectorImage& image, ImageLayout* layout);

// A sector of the data track among count from first that a patch cannot
// rewrite: one of Mode 2 Form 2, or of no mode 1 or 2.
struct UnwritableSector {
  uint64_t sector = 0;
  SectorMode mode = SectorMode::kOther;
};
Status findUnwritableSector(const SectorImage& image, uint64_t first, uint64_t count,
                            std::optional<UnwritableSector>* found);

// Writes into file, reading the raw sectors it rewrites from readFrom: the
// same file, or one open for reading on it.
class SectorWriter {
 public:
  SectorWriter(io::Fs& fs, const io::File& file, const io::File& readFrom,
               const ImageLayout& layout)
      : fs_(fs), file_(file), readFrom_(readFrom), layout_(layout), known_(layout.rawSectors) {}

  // Writes length bytes (zeros when data is null) at offset of the 2048-byte
  // image.
  Status write(const uint8_t* data, uint64_t length, uint64_t offset);
  Status writeZeros(uint64_t length, uint64_t offset) { return write(nullptr, length, offset); }
  // The same as one write of the file, for bytes that must change together
  // as nearly as the file system allows.
  Status writeAtOnce(const uint8_t* data, uint64_t length, uint64_t offset);

 private:
  Status writeRaw(const uint8_t* data, uint64_t length, uint64_t offset, uint64_t batchSectors);

  io::Fs& fs_;
  const io::File& file_;
  const io::File& readFrom_;
  const ImageLayout& layout_;
  // Raw sectors below this one hold a header: the image's own, then those
  // this writer appended.
  uint64_t known_;
};

}  // namespace orvex
