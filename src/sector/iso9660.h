// The ISO 9660 file system of a disc image, read over its 2048-byte sectors:
// the volume's name and every file with the sector its data starts at and
// its size, so that a file of the disc (the store's index among them) can be
// found by its path.
//
// The primary volume descriptor is at sector 16, followed by any others up
// to the terminator; a Joliet descriptor (a supplementary one whose escape
// sequence names UCS-2) gives the long names, which are then the ones
// listed. Directory records hold their numbers in both byte orders; the
// little-endian half is read. A hostile image cannot make the reader loop or
// run out of memory: directories are entered once each, no deeper than
// ISO_MAX_DEPTH, reading at most ISO_MAX_DIRECTORY_SECTORS sectors of
// records and ISO_MAX_FILES records in all, and nothing is read past the
// image's end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sector_image.h"
#include "status.h"

namespace orvex {

constexpr size_t ISO_SECTOR_SIZE = 2048;
constexpr uint32_t ISO_DESCRIPTOR_SECTOR = 16;
constexpr int ISO_MAX_DEPTH = 64;
constexpr uint64_t ISO_MAX_DIRECTORY_SECTORS = 65536;
constexpr uint64_t ISO_MAX_FILES = 1u << 20;

struct IsoFile {
  // "/FOLDER/NAME.EXT" as the records write the names, without the ";1"
  // version and the dot of a name without extension.
  std::string path;
  uint32_t sector = 0;  // the 2048-byte sector of the image its data starts at
  uint64_t size = 0;    // bytes (of a folder: of its records)
  bool folder = false;
  // Recorded in several extents (a file of 4 GiB or more): sector is the
  // first extent's, size the sum of all.
  bool severalExtents = false;
};

struct IsoVolume {
  std::string name;      // the primary descriptor's volume identifier, trailing spaces dropped
  uint64_t sectors = 0;  // the volume space size the descriptor states
  bool joliet = false;
  // Every file and folder below the root, each folder before what it holds:
  // Joliet's names where the image has them, else the primary ones.
  std::vector<IsoFile> files;
  // The same files under their primary names, when files holds Joliet's.
  std::vector<IsoFile> primaryFiles;
};

// Reads length bytes of the 2048-byte image at offset, fewer only where it
// ends.
using IsoReader = std::function<Status(uint8_t* into, size_t length, uint64_t offset, size_t* got)>;

// Reads the file system of an image of imageSize bytes. kInvalid when
// sector 16 holds no primary volume descriptor; a read failure as it came.
// Parts that cannot be used (a folder outside the image or entered twice,
// records that break the format, a limit reached) are left out, each with a
// line in oddities.
Status readIsoVolume(const IsoReader& read, uint64_t imageSize, IsoVolume* volume,
                     Problems* oddities);
Status readIsoVolume(const SectorImage& image, IsoVolume* volume, Problems* oddities);

// The file at path ("/" or "\" between names, a leading one optional),
// names matched without case and without a ";N" version, under the listed
// names or the primary ones. kNotFound when none is there, kInvalid when
// path names a folder.
Status findIsoFile(const IsoVolume& volume, std::string_view path, const IsoFile** file);

}  // namespace orvex
