#include <algorithm>

#include "store.h"

namespace orvex {
namespace {

bool damaged(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

}  // namespace

bool decompress(std::vector<uint8_t>& buf, size_t n, size_t* decodedLength, std::string* why) {
  if (n < 4) return damaged(why, "compressed stream shorter than its 4-byte trailer");
  const uint8_t marker = buf[n - 1];
  const size_t s = static_cast<size_t>(buf[n - 4]) << 16 | static_cast<size_t>(buf[n - 3]) << 8 |
                   buf[n - 2];
  if (n <= 5) {
    // No token to decode: the stored bytes are the file.
    if (s > n) return damaged(why, "decoded length exceeds a stream with no tokens");
    buf.resize(s);
    *decodedLength = s;
    return true;
  }
  if (buf.size() < std::max(s, n)) buf.resize(std::max(s, n));

  // Output is written from the top down over the same buffer the tokens are
  // read from, so every read sees the writes made before it.
  uint8_t* out = buf.data();
  int64_t w = static_cast<int64_t>(s);
  int64_t r = static_cast<int64_t>(n) - 5;
  while (w > 0) {
    const uint8_t c = out[r];
    if (c == marker) {
      if (r == 0) return damaged(why, "marker token runs past the start of the stream");
      const uint8_t dist = out[--r];
      if (dist != 0) {
        if (r == 0) return damaged(why, "match token runs past the start of the stream");
        const int len = out[--r] + 3;
        if (w - 1 + dist >= static_cast<int64_t>(s))
          return damaged(why, "match copies from beyond the decoded length");
        for (int i = 0; i < len && w > 0; ++i) {
          --w;
          out[w] = out[w + dist];
        }
        if (r <= 0) break;
        --r;
        continue;
      }
      // dist 0: an escaped marker, which stands for the marker byte itself.
    }
    out[--w] = c;
    if (r <= 0) break;
    --r;
  }
  if (w > 0) return damaged(why, "compressed stream ends before the output is full");
  buf.resize(s);
  *decodedLength = s;
  return true;
}

}  // namespace orvex
