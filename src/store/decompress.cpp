#include <algorithm>
#include <atomic>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#ifdef __x86_64__
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "store.h"

namespace orvex {
namespace {

bool damaged(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

// How many of the eight bytes of v, from the highest address down, come
// before the first one equal to the byte that spread repeats (8 if none).
int bytesBeforeMarker(uint64_t v, uint64_t spread) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  const uint64_t x = v ^ spread;
  const uint64_t zero = ~(((x & kLow7) + kLow7) | x | kLow7);  // 0x80 in each zero byte
  return zero == 0 ? 8 : __builtin_clzll(zero) >> 3;
}

// Fills out[w - n, w) so that out[x] == out[x + dist] for every x, working
// downwards as the format defines. Copies are exact: nothing outside the
// range is written, since bytes below it may be body still to be read.
void copyMatch(uint8_t* out, int64_t w, int64_t n, int64_t dist) {
  uint8_t* to = out + w - n;
  const uint8_t* from = to + dist;
  if (dist >= n) {
    // Source and destination are apart: load both ends, then store them.
    if (n >= 8 && n <= 16) {
      const uint64_t low = load64(from), high = load64(from + n - 8);
      std::memcpy(to, &low, 8);
      std::memcpy(to + n - 8, &high, 8);
    } else if (n >= 4 && n < 8) {
      const uint32_t low = load32(from), high = load32(from + n - 4);
      std::memcpy(to, &low, 4);
      std::memcpy(to + n - 4, &high, 4);
    } else {
      std::memcpy(to, from, static_cast<size_t>(n));
    }
    return;
  }
  if (dist == 1) {
    std::memset(to, out[w], static_cast<size_t>(n));
    return;
  }
  if (n <= 16) {
    for (int64_t x = n - 1; x >= 0; --x) to[x] = from[x];
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

#ifdef __SSE2__
void copy16(uint8_t* to, const uint8_t* from) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
}

// The fast loop runs while the next token byte r and the output w are this
// far apart. A literal block or a match may then store whole blocks below
// the bytes it must produce without reaching an unread body byte: a match
// lowers w by at most 258 and stores at most 15 bytes below its end.
constexpr int64_t kFastGap = 288;
// ...and while r leaves room below for a window of 64 body bytes, the
// tokens that start in it (66 bytes at most) and the blocks of literals
// they move (63 bytes below r at most).
constexpr int64_t kFastRead = 128;

// The steps of the fast loop, for every x86-64 processor. find gives one
// bit per byte of the 64 bytes ending at top, set where the byte is the
// marker; topIndex says how far below top the highest one set lies, and
// without clears that bit and the next bytes - 1 below it. Here bit i stands
// for the byte at top - i, so that the scan is a trailing-zero count, which
// every processor has.
struct Sse2Steps {
  static int topIndex(uint64_t bits) { return __builtin_ctzll(bits); }
  static uint64_t without(uint64_t bits, int index, int bytes) {
    return bits & ~(((uint64_t{1} << bytes) - 1) << index);
  }
  static uint64_t find(const uint8_t* top, uint8_t marker) {
    const __m128i markers = _mm_set1_epi8(static_cast<char>(marker));
    uint64_t bits = 0;
    for (int i = 3; i >= 0; --i) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top - 63 + 16 * i));
      bits = bits << 16 | static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, markers)));
    }
    // Bit j stands for the byte at top - 63 + j: reverse the bits.
    bits = __builtin_bswap64(bits);
    bits = (bits >> 4 & 0x0F0F0F0F0F0F0F0Full) | (bits & 0x0F0F0F0F0F0F0F0Full) << 4;
    bits = (bits >> 2 & 0x3333333333333333ull) | (bits & 0x3333333333333333ull) << 2;
    return (bits >> 1 & 0x5555555555555555ull) | (bits & 0x5555555555555555ull) << 1;
  }
  // Copies the 32 bytes ending at from - 1 to the 32 ending at to - 1.
  static void copy32Below(uint8_t* to, const uint8_t* from) {
    copy16(to - 16, from - 16);
    copy16(to - 32, from - 32);
  }
  // Produces the length bytes below w of a match at distance dist; stores at
  // most 15 bytes below them. Each block stored reads only bytes already
  // final: those at or above the lowest byte written so far.
  static void copyMatchBelow(uint8_t* w, int64_t dist, int64_t length) {
    if (length <= 16 && dist >= 16) {
      copy16(w - 16, w - 16 + dist);
    } else if (dist >= 16) {
      for (int64_t done = 16;; done += 16) {
        copy16(w - done, w - done + dist);
        if (done >= length) break;
      }
    } else if (dist >= 8) {
      for (int64_t done = 8;; done += 8) {
        store64(w - done, load64(w - done + dist));
        if (done >= length) break;
      }
    } else if (dist == 1) {
      const __m128i fill = _mm_set1_epi8(static_cast<char>(*w));
      for (int64_t done = 16;; done += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w - done), fill);
        if (done >= length) break;
      }
    } else {
      // Of each word stored only its top dist bytes are final (copies of
      // the dist bytes above); the next word, dist bytes lower, overwrites
      // the rest.
      for (int64_t done = dist;; done += dist) {
        store64(w - done - (8 - dist), load64(w - done - (8 - dist) + dist));
        if (done >= length) break;
      }
    }
  }
};

#ifdef __x86_64__
// How a match's first 16 bytes come out of the 16 that end dist above its
// top w (the bytes at w - 16 + dist up): output byte w - 16 + j repeats byte
// w + (j - 16) mod dist. From distance 16 up that is loaded byte j itself;
// below 16 it is loaded byte 16 - dist + (j - 16) mod dist, among the dist
// bytes at and above w, which are final. One row per distance, so that the
// row is found without a branch or a comparison.
struct PeriodicShuffles {
  alignas(16) uint8_t rows[256][16];
  // The least multiple of each distance below 16 that is at least 16: the
  // output repeats with that period too, and blocks of 16 can be copied at
  // it.
  uint8_t period[16];
};

constexpr PeriodicShuffles makePeriodicShuffles() {
  PeriodicShuffles t{};
  for (int dist = 1; dist < 256; ++dist) {
    for (int j = 0; j < 16; ++j) {
      const int below = dist >= 16 ? j : 16 - dist + (j - 16 + 16 * dist) % dist;
      t.rows[dist][j] = static_cast<uint8_t>(below);
    }
  }
  for (int dist = 1; dist < 16; ++dist)
    t.period[dist] = static_cast<uint8_t>((16 + dist - 1) / dist * dist);
  return t;
}

constexpr PeriodicShuffles kPeriodicShuffles = makePeriodicShuffles();

// The steps of the fast loop for processors with AVX2, BMI2 and LZCNT. As
// Sse2Steps, but bit 63 - i stands for the byte at top - i: the scan is a
// leading-zero count, and the bits need no reversing.
struct Avx2Steps {
  __attribute__((target("lzcnt"))) static int topIndex(uint64_t bits) {
    return __builtin_clzll(bits);
  }
  __attribute__((target("bmi2"))) static uint64_t without(uint64_t bits, int index, int bytes) {
    return bits & ~(~(~uint64_t{0} >> bytes) >> index);
  }
  // Bit j set where the byte at at + j is the marker, for 32 bytes.
  __attribute__((target("avx2"))) static uint32_t find32(const uint8_t* at, __m256i markers) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), markers)));
  }
  __attribute__((target("avx2"))) static uint64_t find(const uint8_t* top, uint8_t marker) {
    const __m256i markers = _mm256_set1_epi8(static_cast<char>(marker));
    return uint64_t{find32(top - 31, markers)} << 32 | find32(top - 63, markers);
  }
  __attribute__((target("avx2"))) static void copy32Below(uint8_t* to, const uint8_t* from) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to - 32),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from - 32)));
  }
  // As Sse2Steps::copyMatchBelow, but the first 16 bytes take no branch on
  // the distance, whatever it is: one shuffle of the 16 bytes ending dist
  // above w. Most matches are that short, and a branch on their distance
  // would go wrong often.
  __attribute__((target("avx2"))) static void copyMatchBelow(uint8_t* w, int64_t dist,
                                                             int64_t length) {
    const __m128i from = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w - 16 + dist));
    const __m128i shuffle =
        _mm_load_si128(reinterpret_cast<const __m128i*>(kPeriodicShuffles.rows[dist]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(w - 16), _mm_shuffle_epi8(from, shuffle));
    if (length > 16) {
      const int64_t period = dist >= 16 ? dist : kPeriodicShuffles.period[dist];
      for (int64_t done = 32;; done += 16) {
        copy16(w - done, w - done + period);
        if (done >= length) break;
      }
    }
  }
};
#endif

// Where a window starts with w at least this far above r, none of its
// tokens needs a check of the gap: it holds at most 22 matches (3 bytes
// each, within the 66 bytes a window's tokens can take), each bringing w at
// most 255 closer to r.
constexpr int64_t kWindowGap = kFastGap + 22 * 255;

// Decodes the tokens whose marker lies in the window of 64 body bytes
// ending at top, whose markers not yet taken are the bits of `bits` (in the
// order of Steps::find). w is the lowest output byte written so far, r
// the next token byte to read. The literals below the window's last token
// are left to the next window. With kCheckGap, stops after the first match
// that leaves w closer than kFastGap to r, and returns false.
template <typename Steps, bool kCheckGap>
__attribute__((always_inline)) inline bool decodeWindow(uint8_t marker, const uint8_t* top,
                                                        uint64_t bits, uint8_t** wp,
                                                        const uint8_t** rp) {
  uint8_t* w = *wp;
  const uint8_t* r = *rp;
  bool more = true;
  do {
    const int index = Steps::topIndex(bits);
    const uint8_t* at = top - index;
    // Literals: one 32-byte block covers nearly every run, unconditionally;
    // what it stores below the run's end is overwritten by later tokens.
    Steps::copy32Below(w, r + 1);
    const int64_t literals = r - at;
    if (literals > 32) Steps::copy32Below(w - 32, r - 31);  // a run is at most 63
    w -= literals;
    const uint8_t dist = at[-1];
    if (dist == 0) {  // an escaped marker
      *--w = marker;
      r = at - 2;
      // Its second byte is a marker too when the marker is 0.
      bits = Steps::without(bits, index, 2);
      continue;
    }
    // The len and dist bytes are raw: either may equal the marker.
    bits = Steps::without(bits, index, 3);
    const int64_t length = int64_t{at[-2]} + 3;
    r = at - 3;
    Steps::copyMatchBelow(w, dist, length);
    w -= length;
    // Only a match brings w closer to r.
    if (kCheckGap && w - r < kFastGap) more = false;
  } while (bits != 0 && (!kCheckGap || more));
  *wp = w, *rp = r;
  return more;
}

// Decodes from the top down while the stream is far from the buffer's edges,
// where no token needs a bounds check of its own, and w is at least 255
// below the decoded length, so that no match reaches above the output. The
// markers among the 64 body bytes from r down are found at once, as bits;
// each token then costs a bit scan, and finding the next one waits on a
// mask only. Leaves w and r where the
// careful loop goes on. Compiled once for every x86-64 processor and once
// for those with AVX2, BMI2 and LZCNT.
template <typename Steps>
__attribute__((always_inline)) inline void decodeFastBody(uint8_t* out, uint8_t marker, int64_t* wp,
                                                          int64_t* rp) {
  if (*rp < kFastRead || *wp - *rp < kFastGap) return;
  uint8_t* w = out + *wp;
  const uint8_t* r = out + *rp;
  // Body bytes at or below r are unread and unchanged, so their bits stay
  // true however the output moves above them. A window's tokens take r at
  // most 66 lower: r is checked once per window.
  while (r - out >= kFastRead && w - r >= kFastGap) {
    const uint8_t* top = r;
    const uint64_t bits = Steps::find(top, marker);
    if (bits == 0) {  // all 64 bytes are literals
      Steps::copy32Below(w, r + 1);
      Steps::copy32Below(w - 32, r - 31);
      w -= 64;
      r -= 64;
    } else if (w - r >= kWindowGap) {
      decodeWindow<Steps, false>(marker, top, bits, &w, &r);
    } else if (!decodeWindow<Steps, true>(marker, top, bits, &w, &r)) {
      break;
    }
  }
  *wp = w - out, *rp = r - out;
}

void decodeFastSse2(uint8_t* out, uint8_t marker, int64_t* wp, int64_t* rp) {
  decodeFastBody<Sse2Steps>(out, marker, wp, rp);
}

#ifdef __x86_64__
__attribute__((target("avx2,bmi,bmi2,lzcnt"))) void decodeFastAvx2(uint8_t* out, uint8_t marker,
                                                                   int64_t* wp, int64_t* rp) {
  decodeFastBody<Avx2Steps>(out, marker, wp, rp);
}

bool haveAvx2() {
  // LZCNT has no name of its own for __builtin_cpu_supports in every
  // compiler: it is bit 5 of ECX in extended leaf 0x80000001.
  unsigned a = 0, b = 0, c = 0, d = 0;
  const bool lzcnt = __get_cpuid(0x80000001, &a, &b, &c, &d) && (c & (1u << 5)) != 0;
  return lzcnt && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2");
}
#endif

std::atomic<bool> wideAllowed{true};

void decodeFast(uint8_t* out, uint8_t marker, int64_t* wp, int64_t* rp) {
#ifdef __x86_64__
  static const bool avx2 = haveAvx2();
  if (avx2 && wideAllowed.load(std::memory_order_relaxed))
    return decodeFastAvx2(out, marker, wp, rp);
#endif
  decodeFastSse2(out, marker, wp, rp);
}
#endif

// Decodes token by token, with every check, until w is at or below stop;
// any w and r will do. Returns false, with the reason set, on damage.
bool decodeCareful(uint8_t* out, int64_t end, uint8_t marker, int64_t stop, int64_t* wp,
                   int64_t* rp, std::string* why) {
  int64_t w = *wp, r = *rp;
  const uint64_t spread = 0x0101010101010101ull * marker;
  while (w > stop) {
    if (r < 0) return damaged(why, "compressed stream ends before the output is full");
    const uint8_t c = out[r];
    if (c != marker) {
      if (w - r > 8) {
        // A run of literals with the output more than a word above the
        // input: move a word at a time. Bytes stored past the run's end land
        // in output that later tokens overwrite, never in unread input.
#ifdef __SSE2__
        const __m128i markers = _mm_set1_epi8(static_cast<char>(marker));
        while (r >= 15 && w >= 16 && w - r > 16) {
          const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out + r - 15));
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out + w - 16), block);
          const auto hits =
              static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, markers)));
          // Bit 15 is the byte at r: count the literals above the first marker.
          const int taken = hits == 0 ? 16 : __builtin_clz(hits << 16);
          w -= taken;
          r -= taken;
          if (taken < 16) break;
        }
        if (r >= 0 && out[r] == marker) continue;
#endif
        while (r >= 7 && w >= 8) {
          const uint64_t word = load64(out + r - 7);
          store64(out + w - 8, word);
          const int taken = bytesBeforeMarker(word, spread);
          w -= taken;
          r -= taken;
          if (taken < 8) break;
        }
        if (r >= 7 && w >= 8) continue;
      }
      if (w > r) {
        // Near the start of the buffer: exact moves, byte by byte; the
        // run's own writes still never reach a byte it has to read.
        while (r >= 0 && w > 0 && out[r] != marker) out[--w] = out[r--];
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
    if (dist >= 8 && w - r > length + 8 && w >= length + 8) {
      // Room below for a word's spill, as for literals: copy whole words
      // from the top down, each from bytes already final.
      for (int64_t done = 0; done < length; done += 8)
        store64(out + w - done - 8, load64(out + w - done - 8 + dist));
      w -= length;
      continue;
    }
    const int64_t produced = std::min(length, w);
    copyMatch(out, w, produced, dist);
    w -= produced;
  }
  *wp = w, *rp = r;
  return true;
}

}  // namespace

void allowWideDecoder(bool allow) {
#ifdef __SSE2__
  wideAllowed.store(allow, std::memory_order_relaxed);
#else
  (void)allow;
#endif
}

namespace {

bool decodeInPlace(std::vector<uint8_t>& buf, size_t n, size_t* decodedLength, std::string* why) {
  if (n < 4) return damaged(why, "compressed stream shorter than its 4-byte trailer");
  const StreamTrailer trailer = decodeStreamTrailer(&buf[n - STREAM_TRAILER_SIZE]);
  const uint8_t marker = trailer.marker;
  const size_t s = trailer.decodedLength;
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
  // output byte written so far, r the next token byte to read. Matches may
  // reach above the output only within its top 255 bytes, which are
  // decoded with every check.
  uint8_t* out = buf.data();
  const auto end = static_cast<int64_t>(s);
  int64_t w = end;
  int64_t r = static_cast<int64_t>(n) - 5;
  if (!decodeCareful(out, end, marker, std::max<int64_t>(end - 255, 0), &w, &r, why)) return false;
#ifdef __SSE2__
  decodeFast(out, marker, &w, &r);
#endif
  if (!decodeCareful(out, end, marker, 0, &w, &r, why)) return false;
  buf.resize(s);
  *decodedLength = s;
  return true;
}

}  // namespace

Status decompress(std::vector<uint8_t>& buf, size_t n, size_t* decodedLength) {
  std::string why;
  if (!decodeInPlace(buf, n, decodedLength, &why)) return Status::damaged(why);
  return Status::ok();
}

}  // namespace orvex
