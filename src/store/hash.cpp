#include "store.h"

namespace orvex {

uint32_t hashName(std::string_view name) {
  uint32_t h = 0;
  for (char ch : name) {
    // Bytes count as signed: 0x80..0xFF give negative remainders, which set
    // the upper bits of the hash.
    const int32_t c = static_cast<int8_t>(ch);
    const int32_t r = (c * 65536) % 0x11021;
    h = static_cast<uint32_t>(r) ^ (h << 1);
  }
  return h;
}

}  // namespace orvex
