// Arbitrary bytes as a compressed stream, through the decoder alone. The
// buffer is allocated at exactly the size the decoder grows it to, so a
// single byte read or written past the output lands outside the allocation.
// An accepted stream yields exactly the length its trailer states and the
// same bytes as the byte-at-a-time reference decoder; a refused one is
// refused by both, with a reason. A stream whose start decoding cannot reach
// decodes to the same from its reachable end alone, as entries are read.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "reference_decoder.h"
#include "store.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// Stated lengths above this are skipped: such outputs are rare, cost the
// reference decoder a byte-by-byte pass each, and exercise no path that a
// shorter one does not.
constexpr size_t kMaxStatedLength = size_t{1} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using orvex::testing::statedLength;
  if (size >= 4 && statedLength(data, size) > kMaxStatedLength) return 0;
  // The decoder grows the buffer to max(S, n) when there are tokens and
  // the stated length can be filled; otherwise it stays at n.
  size_t needed = size;
  if (size > 5) {
    const size_t s = statedLength(data, size);
    if (s <= 86 * (size - 4)) needed = std::max(s, size);
  }
  std::vector<uint8_t> buf;
  buf.reserve(needed);
  buf.assign(data, data + size);
  const uint8_t* const allocation = buf.data();

  size_t length = SIZE_MAX;
  const orvex::Status decoded = orvex::decompress(buf, size, &length);
  const bool accepted = decoded.isOk();
  // Never reallocated: the decoder worked within the exact allocation.
  require(buf.data() == allocation);
  require(buf.capacity() == needed);

  std::vector<uint8_t> expected;
  require(accepted == orvex::testing::referenceDecode(std::vector<uint8_t>(data, data + size), size,
                                                      &expected));
  if (accepted) {
    require(length == statedLength(data, size));
    require(buf.size() == length);
    require(buf == expected);
  } else {
    require(decoded.code() == orvex::Status::Code::kDamaged && !decoded.message().empty());
  }

  if (size >= 4) {
    const size_t stated = statedLength(data, size);
    const size_t reach = orvex::reachableStreamBytes(size, stated);
    if (reach < size) {
      std::vector<uint8_t> tail(stated, 0);
      tail.insert(tail.end(), data + size - reach, data + size);
      size_t tailLength = SIZE_MAX;
      require(orvex::decompress(tail, tail.size(), &tailLength).isOk() == accepted);
      if (accepted) require(tail == expected);
    }
  }
  return 0;
}
