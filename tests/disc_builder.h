// Test support: small discs assembled in memory, with oddities on request
// (records whose sector or size lie, no marker).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "store.h"

namespace orvex {

// One index entry and the bytes placed for it in the image.
struct DiscFile {
  uint32_t hash = 0;
  uint32_t flags = 0;
  std::vector<uint8_t> stored;
  // Replace the laid-out values in the index record, for discs with oddities.
  std::optional<uint32_t> sector;
  std::optional<uint32_t> size;
};

struct DiscBuilder {
  uint32_t baseSector = 16;
  bool bootMarker = true;
  std::vector<DiscFile> files;  // index order

  // Adds a file under its name, stored as given.
  DiscFile& addStored(std::string_view name, std::vector<uint8_t> content);
  // Adds a file already encoded as a compressed stream (flags bit 0 set).
  DiscFile& addCompressedStream(std::string_view name, std::vector<uint8_t> stream);
};

// Lays files out from sector 1 after the base sector, each on a sector
// boundary, in index order. Returns the image and index bytes.
struct DiscBytes {
  std::vector<uint8_t> image;
  std::vector<uint8_t> index;
};
DiscBytes buildDisc(const DiscBuilder& disc);

}  // namespace orvex
