#include "number_text.h"

#include <charconv>

namespace orvex {

std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max, int base) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, base);
  // For an unsigned number from_chars takes digits only: no sign, space or 0x.
  if (text.empty() || error != std::errc() || stop != end || value > max) return std::nullopt;
  return value;
}

}  // namespace orvex
