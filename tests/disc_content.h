// Contents for test discs: event files, events tables and bulk data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::testing {

// An event file of length bytes: piece count at offset 4, then the given
// piece offsets; the rest is letters.
std::vector<uint8_t> eventFile(int32_t count, const std::vector<uint32_t>& offsets, size_t length);

// An eventsTable: one 256-byte NUL-padded record per name.
std::vector<uint8_t> eventsTable(const std::vector<std::string>& names);

// The content as a compressed stream, as the packer would store it.
std::vector<uint8_t> compressed(std::string_view content);
std::vector<uint8_t> compressed(const std::vector<uint8_t>& content);

// Words with short-range repeats: compresses well.
std::vector<uint8_t> textLike(size_t length, uint32_t seed);
// Bytes with no repeats to speak of.
std::vector<uint8_t> noise(size_t length, uint32_t seed);

}  // namespace orvex::testing
