#include <algorithm>
#include <cstring>

#include "store.h"

namespace orvex {
namespace {

bool damaged(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

// Fills out[w - n, w) so that out[x] == out[x + dist] for every x, working
// downwards as the format defines. Copies are exact: nothing outside the
// range is written, since bytes below it may be body still to be read.
void copyMatch(uint8_t* out, int64_t w, int64_t n, int64_t dist) {
  if (dist >= n) {
    std::memcpy(out + w - n, out + w - n + dist, static_cast<size_t>(n));
    return;
  }
  // A short distance repeats the dist bytes above w. The filled part stays
  // periodic, so each copy may take twice as much as the one before.
  int64_t step = dist, done = 0;
  while (done < n) {
    const int64_t chunk = std::min(step, n - done);
    std::memcpy(out + w - done - chunk, out + w - done - chunk + step, static_cast<size_t>(chunk));
    done += chunk;
    step *= 2;
  }
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
  // A body byte yields at most 86 output bytes (a 3-byte match gives 258). A
  // longer stated length cannot be filled: refuse it before growing buf.
  if (s > 86 * (n - 4)) return damaged(why, "decoded length exceeds what the stream can hold");
  if (buf.size() < std::max(s, n)) buf.resize(std::max(s, n));

  // Output is written from the top down over the same buffer the tokens are
  // read from, so every read sees the writes made before it. w is the lowest
  // output byte written so far, r the next token byte to read.
  uint8_t* out = buf.data();
  const auto end = static_cast<int64_t>(s);
  int64_t w = end;
  int64_t r = static_cast<int64_t>(n) - 5;
  while (w > 0) {
    if (r < 0) return damaged(why, "compressed stream ends before the output is full");
    const uint8_t c = out[r];
    if (c != marker) {
      if (w > r) {
        // A run of literals below which the output lies strictly above the
        // input: one block move gives what byte-by-byte copying would.
        const int64_t window = std::min(r + 1, w);
        const void* found = memrchr(out + r + 1 - window, marker, static_cast<size_t>(window));
        const int64_t run = found ? r - (static_cast<const uint8_t*>(found) - out) : window;
        std::memmove(out + w - run, out + r + 1 - run, static_cast<size_t>(run));
        w -= run;
        r -= run;
      } else {
        out[--w] = c;
        --r;
      }
      continue;
    }
    if (r == 0) return damaged(why, "marker token runs past the start of the stream");
    const uint8_t dist = out[r - 1];
    if (dist == 0) {  // an escaped marker stands for the marker byte itself
      out[--w] = marker;
      r -= 2;
      continue;
    }
    if (r == 1) return damaged(why, "match token runs past the start of the stream");
    const int64_t length = out[r - 2] + 3;
    r -= 3;
    if (w - 1 + dist >= end) return damaged(why, "match copies from beyond the decoded length");
    const int64_t produced = std::min(length, w);
    copyMatch(out, w, produced, dist);
    w -= produced;
  }
  buf.resize(s);
  *decodedLength = s;
  return true;
}

}  // namespace orvex
