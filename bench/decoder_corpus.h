// The decoder benchmark's corpus: about 64 MiB of files of every content
// kind, each held as the original bytes and as what a store keeps for it
// under each codec.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs.h"
#include "content.h"

namespace orvex::bench {

struct CorpusFile {
  Kind kind = Kind::kText;
  std::vector<uint8_t> original;
  Stored ours;
  Stored lz4;  // empty when built without LZ4
};

// Built on first use from a fixed seed. Every stream has been decoded back
// and compared with its file; a mismatch ends the program.
const std::vector<CorpusFile>& decoderCorpus();

}  // namespace orvex::bench
