#include "disc_builder.h"

#include <algorithm>
#include <cstring>

namespace orvex {

DiscFile& DiscBuilder::addStored(std::string_view name, std::vector<uint8_t> content) {
  files.push_back({hashName(name), 0, std::move(content), std::nullopt, std::nullopt});
  return files.back();
}

DiscFile& DiscBuilder::addCompressedStream(std::string_view name, std::vector<uint8_t> stream) {
  files.push_back({hashName(name), FLAG_COMPRESSED, std::move(stream), std::nullopt, std::nullopt});
  return files.back();
}

DiscBytes buildDisc(const DiscBuilder& disc) {
  DiscBytes out;
  out.image.assign(uint64_t{disc.baseSector + 1} * SECTOR_SIZE, 0);
  if (disc.bootMarker) encodeBootMarker(&out.image[uint64_t{disc.baseSector} * SECTOR_SIZE]);
  for (const DiscFile& f : disc.files) {
    const uint64_t start = out.image.size();
    const auto sector = static_cast<uint32_t>(start / SECTOR_SIZE - disc.baseSector);
    const uint64_t sectors = (f.stored.size() + SECTOR_SIZE - 1) / SECTOR_SIZE;
    out.image.resize(start + std::max<uint64_t>(sectors, 1) * SECTOR_SIZE, 0);
    std::copy(f.stored.begin(), f.stored.end(), out.image.begin() + static_cast<ptrdiff_t>(start));
    uint8_t rec[INDEX_ENTRY_SIZE];
    encodeIndexEntry({f.hash, f.flags, f.sector.value_or(sector),
                      f.size.value_or(static_cast<uint32_t>(f.stored.size()))},
                     rec);
    out.index.insert(out.index.end(), rec, rec + sizeof rec);
  }
  return out;
}

}  // namespace orvex
