// Synthetic file contents of the kinds a disc holds: prose, source code,
// tables of binary records, and bytes that are already compressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvex::bench {

enum class Kind { kText, kCode, kRecords, kRandom };

constexpr Kind kAllKinds[] = {Kind::kText, Kind::kCode, Kind::kRecords, Kind::kRandom};

const char* kindName(Kind kind);

// Replaces *out with length bytes of the kind. The same seed always gives
// the same bytes.
void makeContent(Kind kind, uint64_t seed, size_t length, std::vector<uint8_t>* out);

}  // namespace orvex::bench
