#include "reference_decoder.h"

#include <algorithm>

#include "format.h"

namespace orvex::testing {

size_t statedLength(const uint8_t* stream, size_t n) {
  return decodeStreamTrailer(stream + n - STREAM_TRAILER_SIZE).decodedLength;
}

bool referenceDecode(std::vector<uint8_t> buf, size_t n, std::vector<uint8_t>* result) {
  if (n < 4) return false;
  const uint8_t m = buf[n - 1];
  const int64_t s = static_cast<int64_t>(statedLength(buf.data(), n));
  if (n <= 5) {
    if (s > static_cast<int64_t>(n)) return false;
    result->assign(buf.begin(), buf.begin() + s);
    return true;
  }
  // Each body byte yields at most 86 bytes (a 3-byte match gives 258): a
  // longer stated length cannot be filled and is refused before any work.
  if (s > 86 * (static_cast<int64_t>(n) - 4)) return false;
  buf.resize(std::max<size_t>(static_cast<size_t>(s), n));
  int64_t w = s, r = static_cast<int64_t>(n) - 5;
  while (w > 0) {
    if (r < 0) return false;
    const uint8_t c = buf[r];
    if (c == m) {
      if (r == 0) return false;
      const uint8_t d = buf[--r];
      if (d != 0) {
        if (r == 0) return false;
        const int len = buf[--r] + 3;
        for (int i = 0; i < len && w > 0; ++i) {
          --w;
          if (w + d >= s) return false;
          buf[w] = buf[w + d];
        }
        --r;
        continue;
      }
    }
    buf[--w] = c;
    --r;
  }
  result->assign(buf.begin(), buf.begin() + s);
  return true;
}

}  // namespace orvex::testing
