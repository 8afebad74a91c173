// Arbitrary bytes as a file to encode. Whatever the encoder accepts decodes
// back intact, from a stream no longer than the file plus its trailer, and
// it accepts every input short of all 256 byte values. The decoder alone is
// fuzzed, much faster, by fuzz_decode.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "store.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> stream;
  if (orvex::compress(data, size, &stream)) {
    // Decoded in place, the body must never be longer than the output.
    require(stream.size() <= size + 4);
    std::vector<uint8_t> decoded = stream;
    size_t length = SIZE_MAX;
    require(orvex::decompress(decoded, stream.size(), &length).isOk());
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
