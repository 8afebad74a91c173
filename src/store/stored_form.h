// The form a file takes in the store, as packing and patching choose it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvex {

enum class StoredForm {
  kAuto,      // compressed when the stream is shorter than the file (packing's default)
  kKeep,      // compressed when the entry was, if the encoder can (patching's default)
  kCompress,  // compressed whenever the encoder accepts the file
  kStore,     // never compressed
};

// Encodes a file's contents as they go into the store. Returns true with
// *stream set when the file is to be stored compressed, false when it is to
// be stored as it is. wasCompressed is what the entry was, for kKeep.
bool encodeForStore(const uint8_t* data, size_t length, StoredForm form, bool wasCompressed,
                    std::vector<uint8_t>* stream);

}  // namespace orvex
