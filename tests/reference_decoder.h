// The backward compressed format decoded one byte at a time, each read
// seeing every write before it, with the same refusals as the real decoder.
// Slow and plain: the decoder's block copies are checked against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvex::testing {

// Decodes the n stored bytes at the start of stream. On success sets
// *result to the decoded file and returns true; returns false where the
// decoder must refuse the stream.
bool referenceDecode(std::vector<uint8_t> stream, size_t n, std::vector<uint8_t>* result);

// The decoded length that the stream's trailer states (n >= 4).
size_t statedLength(const uint8_t* stream, size_t n);

}  // namespace orvex::testing
