#include "raw_image.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace orvex::testing {
namespace {

constexpr size_t kDataSize = 2048;
constexpr size_t kForm2TailSize = 2324 - kDataSize;
constexpr uint8_t kSubmodeData = 0x08;
constexpr uint8_t kSubmodeForm2 = 0x20;

std::string cueTime(uint64_t sectors) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", static_cast<unsigned>(sectors / 75 / 60),
                static_cast<unsigned>(sectors / 75 % 60), static_cast<unsigned>(sectors % 75));
  return text;
}

}  // namespace

std::vector<uint8_t> form2Tail(uint64_t sector) {
  std::vector<uint8_t> tail(kForm2TailSize);
  for (size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<uint8_t>(0xA5 ^ (i + sector));
  return tail;
}

std::vector<uint8_t> rawFromPlain(const std::vector<uint8_t>& plain,
                                  const RawImageOptions& options) {
  const uint64_t sectors = (plain.size() + kDataSize - 1) / kDataSize;
  std::vector<uint8_t> raw((sectors + options.audioSectors) * RAW_SECTOR_SIZE);
  for (uint64_t i = 0; i < sectors; ++i) {
    uint8_t* sector = raw.data() + i * RAW_SECTOR_SIZE;
    SectorMode mode = options.mode;
    if (mode == SectorMode::kMode2Form1 && options.form2Sectors.count(i))
      mode = SectorMode::kMode2Form2;
    writeHeader(sector, options.firstLba + static_cast<uint32_t>(i),
                mode == SectorMode::kMode1 ? 1 : 2);
    if (mode != SectorMode::kMode1) {
      const uint8_t submode = mode == SectorMode::kMode2Form2 ? kSubmodeForm2 : kSubmodeData;
      const uint8_t subheader[4] = {0, 0, submode, 0};
      std::memcpy(sector + 16, subheader, 4);
      std::memcpy(sector + 20, subheader, 4);
    }
    const size_t at = dataOffset(mode);
    const size_t n = std::min<size_t>(kDataSize, plain.size() - i * kDataSize);
    std::memcpy(sector + at, plain.data() + i * kDataSize, n);
    if (mode == SectorMode::kMode2Form2) {
      const std::vector<uint8_t> tail = form2Tail(i);
      std::memcpy(sector + at + kDataSize, tail.data(), tail.size());
    }
    sealSector(sector, mode);
  }
  // Audio: samples that never start with the sync pattern.
  for (size_t at = sectors * RAW_SECTOR_SIZE; at < raw.size(); ++at)
    raw[at] = static_cast<uint8_t>(at * 7 + 3);
  return raw;
}

std::string cueSheetFor(const std::string& fileName, uint64_t dataSectors,
                        const RawImageOptions& options) {
  std::string sheet = "FILE \"" + fileName + "\" BINARY\n";
  sheet += std::string("  TRACK 01 ") +
           (options.mode == SectorMode::kMode1 ? "MODE1/2352" : "MODE2/2352") + "\n";
  sheet += "    INDEX 01 00:00:00\n";
  if (options.audioSectors > 0) {
    sheet += "  TRACK 02 AUDIO\n";
    sheet += "    INDEX 01 " + cueTime(dataSectors) + "\n";
  }
  return sheet;
}

void spoilSector(std::vector<uint8_t>* raw, uint64_t sector, Spoil what) {
  uint8_t* bytes = raw->data() + sector * RAW_SECTOR_SIZE;
  const SectorMode mode = sectorMode(bytes);
  switch (what) {
    case Spoil::kEdc:
      bytes[mode == SectorMode::kMode1        ? 2064
            : mode == SectorMode::kMode2Form1 ? 2072
                                              : 2348] ^= 0x10;
      break;
    case Spoil::kEcc:
      bytes[RAW_SECTOR_SIZE - 1] ^= 0x01;
      break;
    case Spoil::kHeader: {
      uint32_t lba = 0;
      if (!headerAddress(bytes, &lba)) lba = 0;
      const uint8_t mode = bytes[15];
      writeHeader(bytes, lba + 1, mode);
      break;
    }
  }
}

std::string findTool(const std::string& name) {
#ifdef _WIN32
  (void)name;
  return "";
#else
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/bin:/bin";
  while (!dirs.empty()) {
    const size_t colon = dirs.find(':');
    const std::string dir(dirs.substr(0, colon));
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
    const std::filesystem::path candidate = std::filesystem::path(dir.empty() ? "." : dir) / name;
    std::error_code error;
    if (std::filesystem::is_regular_file(candidate, error)) return candidate.string();
  }
  return "";
#endif
}

}  // namespace orvex::testing
