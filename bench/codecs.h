// The two codecs the decoder benchmark compares, behind one shape: encode a
// file into what a store keeps for it, and turn that back into the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvex::bench {

// What a store keeps for one file: the compressed stream or, when that is
// not smaller than the file or cannot be made, the file itself.
struct Stored {
  bool compressed = false;
  std::vector<uint8_t> bytes;
};

Stored encodeOurs(const uint8_t* data, size_t length);

// False when built without LZ4; the LZ4 functions must not be called then.
bool haveLz4();
Stored encodeLz4(const uint8_t* data, size_t length);
// Room an LZ4 block of a length-byte file may need.
size_t lz4Bound(size_t length);
// Encodes into out, which has lz4Bound(length) bytes. Returns the stream's
// length, 0 on failure.
size_t compressLz4(const uint8_t* data, size_t length, uint8_t* out);
// Decodes an LZ4 block into out, which has room for exactly length bytes.
// Returns the decoded length, or a negative value for a damaged block.
int decodeLz4(const uint8_t* stream, size_t n, uint8_t* out, size_t length);

}  // namespace orvex::bench
