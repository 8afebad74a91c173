#include "codecs.h"

#include "store.h"

#if ORVEX_BENCH_HAVE_LZ4
#include <lz4.h>
#endif

namespace orvex::bench {

Stored encodeOurs(const uint8_t* data, size_t length) {
  Stored out;
  out.compressed = compress(data, length, &out.bytes) && out.bytes.size() < length;
  if (!out.compressed) out.bytes.assign(data, data + length);
  return out;
}

#if ORVEX_BENCH_HAVE_LZ4

bool haveLz4() { return true; }

size_t lz4Bound(size_t length) {
  return static_cast<size_t>(LZ4_compressBound(static_cast<int>(length)));
}

size_t compressLz4(const uint8_t* data, size_t length, uint8_t* out) {
  const int n =
      LZ4_compress_default(reinterpret_cast<const char*>(data), reinterpret_cast<char*>(out),
                           static_cast<int>(length), LZ4_compressBound(static_cast<int>(length)));
  return n > 0 ? static_cast<size_t>(n) : 0;
}

Stored encodeLz4(const uint8_t* data, size_t length) {
  Stored out;
  out.bytes.resize(lz4Bound(length));
  const size_t n = compressLz4(data, length, out.bytes.data());
  out.compressed = n > 0 && n < length;
  if (out.compressed) {
    out.bytes.resize(n);
    out.bytes.shrink_to_fit();
  } else {
    out.bytes.assign(data, data + length);
  }
  return out;
}

int decodeLz4(const uint8_t* stream, size_t n, uint8_t* out, size_t length) {
  return LZ4_decompress_safe(reinterpret_cast<const char*>(stream), reinterpret_cast<char*>(out),
                             static_cast<int>(n), static_cast<int>(length));
}

#else

bool haveLz4() { return false; }
Stored encodeLz4(const uint8_t*, size_t) { return {}; }
size_t lz4Bound(size_t) { return 0; }
size_t compressLz4(const uint8_t*, size_t, uint8_t*) { return 0; }
int decodeLz4(const uint8_t*, size_t, uint8_t*, size_t) { return -1; }

#endif

}  // namespace orvex::bench
