#include "pack.h"

namespace orvex {

bool encodeForStore(const uint8_t* data, size_t length, StoreMode mode,
                    std::vector<uint8_t>* stream) {
  if (mode == StoreMode::kStore) return false;
  if (!compress(data, length, stream)) return false;
  return mode == StoreMode::kCompress || stream->size() < length;
}

}  // namespace orvex
