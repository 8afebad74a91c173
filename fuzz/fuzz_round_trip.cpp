// Arbitrary bytes as a compressed stream. An accepted stream yields exactly
// the length its trailer states, and the same bytes as plain byte-by-byte
// in-place decoding. Whatever the encoder accepts comes back intact, and it
// accepts every input short of all 256 byte values.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "store.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

size_t trailerLength(const uint8_t* stream, size_t n) {
  return size_t{stream[n - 4]} << 16 | size_t{stream[n - 3]} << 8 | stream[n - 2];
}

// Decodes the stream at the start of buf in place, one token at a time from
// the top down, every read seeing the writes before it. Returns false where
// the stream is damaged.
bool decodeByteByByte(std::vector<uint8_t>& buf, size_t n) {
  if (n < 4) return false;
  const uint8_t marker = buf[n - 1];
  const size_t s = trailerLength(buf.data(), n);
  if (n <= 5) {
    if (s > n) return false;
    buf.resize(s);
    return true;
  }
  // Each token byte yields at most 86 bytes (a 3-byte match gives 258), so a
  // longer output cannot be filled; saying so early saves a large buffer.
  if (s > 86 * (n - 4)) return false;
  if (buf.size() < std::max(s, n)) buf.resize(std::max(s, n));
  int64_t w = static_cast<int64_t>(s);
  int64_t r = static_cast<int64_t>(n) - 5;
  while (w > 0) {
    if (r < 0) return false;
    const uint8_t c = buf[r--];
    if (c != marker) {
      buf[--w] = c;
      continue;
    }
    if (r < 0) return false;
    const uint8_t dist = buf[r--];
    if (dist == 0) {
      buf[--w] = marker;
      continue;
    }
    if (r < 0) return false;
    const int length = buf[r--] + 3;
    if (w - 1 + dist >= static_cast<int64_t>(s)) return false;
    for (int i = 0; i < length && w > 0; ++i) {
      --w;
      buf[w] = buf[w + dist];
    }
  }
  buf.resize(s);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The buffer's capacity is exactly what the decoder grows it to, so that
  // any access past the decoded bytes lands outside the allocation.
  std::vector<uint8_t> buf;
  buf.reserve(size < 4 ? size : std::max(size, trailerLength(data, size)));
  buf.assign(data, data + size);
  std::vector<uint8_t> expected(data, data + size);
  size_t length = SIZE_MAX;
  std::string why;
  const bool accepted = orvex::decompress(buf, size, &length, &why);
  require(accepted == decodeByteByByte(expected, size));
  if (accepted) {
    require(length == trailerLength(data, size));
    require(buf.size() == length);
    require(buf == expected);
  } else {
    require(!why.empty());
  }

  std::vector<uint8_t> stream;
  if (orvex::compress(data, size, &stream)) {
    // Decoded in place, the body must never be longer than the output.
    require(stream.size() <= size + 4);
    std::vector<uint8_t> decoded = stream;
    why.clear();
    require(orvex::decompress(decoded, stream.size(), &length, &why));
    require(length == size && decoded == std::vector<uint8_t>(data, data + size));
  } else {
    // A byte value absent from the data is a marker that needs no escapes.
    bool seen[256] = {};
    size_t distinct = 0;
    for (size_t i = 0; i < size; ++i)
      if (!seen[data[i]]) seen[data[i]] = true, ++distinct;
    require(size > orvex::MAX_COMPRESSED_LENGTH || distinct == 256);
  }
  return 0;
}
