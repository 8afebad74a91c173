// The fuzz_whole_run input format: a disc image and index, either given as
// raw bytes or described file by file, so that mutations of a described disc
// keep each name and the hash in its index record in step.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disc_builder.h"
#include "pack.h"

namespace orvex::fuzz {

// Layout, led by a mode byte:
//   bit 0 clear (raw): u32 index length, the index bytes, then the image.
//   bit 0 set (described): bits 1-4 the base sector, bit 5 set for no "BOOT2"
//     marker; then files up to the end of the input, each: u8 name length,
//     the name, u8 kind (bit 0 compressed, bit 1 a u32 sector follows, bit 2
//     a u32 size follows), u32 content length, the content.
//   bit 6: run the extractor a second time over the first run's tree.
// A field cut short by the end of the input is taken as far as it goes.
struct WholeRunInput {
  DiscBytes disc;
  bool runTwice = false;
};
WholeRunInput decodeWholeRunInput(const uint8_t* data, size_t size);

// A disc described by names, for writing seeds in either layout.
struct PlannedFile {
  std::string name;
  bool compressed = false;
  std::vector<uint8_t> content;  // as stored: a compressed stream when compressed
  std::optional<uint32_t> sector;
  std::optional<uint32_t> size;
};
struct DiscPlan {
  uint32_t baseSector = 3;  // the described layout holds 0..15
  bool bootMarker = true;
  std::vector<PlannedFile> files;
};

DiscBuilder toBuilder(const DiscPlan& plan);
std::vector<uint8_t> encodeRawInput(const DiscBytes& disc, bool runTwice);
std::vector<uint8_t> encodeDescribedInput(const DiscPlan& plan, bool runTwice);

}  // namespace orvex::fuzz
