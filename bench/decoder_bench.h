// The decode and encode benchmarks over the decoder corpus.
#pragma once

#include <optional>
#include <string>

#include "content.h"

namespace orvex::bench {

enum class Decoder { kOurs, kLz4, kMemcpy };
enum class Encoder { kOurs, kLz4 };

const char* decoderName(Decoder decoder);
const char* encoderName(Encoder encoder);

// Names the benchmarks are registered under, e.g. "decode/ours/text"; no
// kind means the whole corpus ("all").
std::string decodeBenchmarkName(Decoder decoder, std::optional<Kind> kind);
std::string encodeBenchmarkName(Encoder encoder, std::optional<Kind> kind);

// Registers every decoder and encoder benchmark; the LZ4 ones only when
// LZ4 was found at build time.
void registerDecoderBenchmarks();

}  // namespace orvex::bench
