// Numbers written in text: command-line values, environment settings, and
// the numbers inside names (pieces, positions, HASH-N files).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvex {

// The number text spells in base 10 (or 16): its digits and nothing else,
// no sign, space or prefix. Nothing when text is empty, holds anything but
// digits, or spells a number above max, however many digits it has.
std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max = UINT64_MAX,
                                    int base = 10);

}  // namespace orvex
