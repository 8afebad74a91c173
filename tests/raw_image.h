// Test support: raw images of 2352-byte sectors made from plain ones, as a
// drive reads a disc whole, with a cue sheet on request, a later audio track
// in the same file, and sectors spoiled on purpose.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "raw_sector.h"

namespace orvex::testing {

struct RawImageOptions {
  SectorMode mode = SectorMode::kMode1;  // kMode1 or kMode2Form1
  // The address the first sector's header gives.
  uint32_t firstLba = 0;
  // Sectors of a Mode 2 image written as Form 2: the plain image's 2048
  // bytes, then 276 bytes of their own (see form2Tail).
  std::set<uint64_t> form2Sectors;
  // Sectors of an audio track after the data, in the same file.
  uint64_t audioSectors = 0;
};

// The raw image of plain's 2048-byte sectors (a short last one padded with
// zeros): sync, header, in Mode 2 a data subheader, the data, and every
// sector's EDC and ECC right.
std::vector<uint8_t> rawFromPlain(const std::vector<uint8_t>& plain,
                                  const RawImageOptions& options = {});

// The 276 bytes of user data a Form 2 sector written by rawFromPlain holds
// after the 2048 of its sector of the plain image.
std::vector<uint8_t> form2Tail(uint64_t sector);

// A cue sheet for fileName holding the raw image's data track and, when
// there is one, its audio track.
std::string cueSheetFor(const std::string& fileName, uint64_t dataSectors,
                        const RawImageOptions& options = {});

enum class Spoil {
  kEdc,     // one bit of the EDC field (which the ECC covers, so that is wrong too)
  kEcc,     // one bit of the Q parity
  kHeader,  // the address of the next sector
};
// Spoils one raw sector of the image.
void spoilSector(std::vector<uint8_t>* raw, uint64_t sector, Spoil what);

// The path of a disc-image tool of the system (chdman, bchunk) found on
// PATH; empty when it is missing or the system is Windows, where the tests
// that need one skip.
std::string findTool(const std::string& name);

}  // namespace orvex::testing
