#include "disc_content.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "format.h"
#include "store.h"

namespace orvex::testing {

std::vector<uint8_t> eventFile(int32_t count, const std::vector<uint32_t>& offsets, size_t length) {
  std::vector<uint8_t> bytes(std::max(length, 8 + 4 * offsets.size()));
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>('A' + i % 26);
  constexpr uint32_t kLead = 0x44434241;  // "ABCD", as the filler begins
  const std::vector<uint8_t> header = encodeEventHeader(kLead, count, offsets);
  std::copy(header.begin(), header.end(), bytes.begin());
  return bytes;
}

std::vector<uint8_t> eventsTable(const std::vector<std::string>& names) {
  return encodeEventsTable(names);
}

std::vector<uint8_t> compressed(std::string_view content) {
  std::vector<uint8_t> stream;
  if (!compress(reinterpret_cast<const uint8_t*>(content.data()), content.size(), &stream))
    throw std::runtime_error("the encoder refused the content");
  return stream;
}

std::vector<uint8_t> compressed(const std::vector<uint8_t>& content) {
  return compressed(
      std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
}

std::vector<uint8_t> textLike(size_t length, uint32_t seed) {
  static const char* const kWords[] = {"sector ", "index ", "name ", "of ",  "the ",
                                       "event ",  "piece ", "file ", "and ", ".\n"};
  std::vector<uint8_t> out;
  out.reserve(length + 8);
  uint32_t x = seed;
  while (out.size() < length) {
    x = x * 1103515245u + 12345u;
    const char* w = kWords[(x >> 16) % std::size(kWords)];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(length);
  return out;
}

std::vector<uint8_t> noise(size_t length, uint32_t seed) {
  std::vector<uint8_t> out(length);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (uint8_t& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

}  // namespace orvex::testing
