// Arbitrary bytes as a name list. Every name lies inside the input, starts
// at its own 32-byte slot in the header's range, holds no NUL and stops at
// the first NUL, the end of its slot or the end of the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "format.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string_view> names;
  std::string warning;
  const bool usable = orvex::decodeNameList(data, size, &names, &warning).isOk();
  require(usable == (size >= 32));
  if (!usable) {
    require(names.empty());
    return 0;
  }
  const orvex::NameListRange range = orvex::decodeNameListHeader(data);
  const uint64_t start = range.start, end = range.end;
  require(warning.empty() == (end <= size));
  const uint64_t stop = std::min<uint64_t>(end, size);
  const uint64_t slots = start < stop ? (stop - start + 31) / 32 : 0;
  require(names.size() == slots);
  const char* const base = reinterpret_cast<const char*>(data);
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string_view name = names[i];
    const uint64_t offset = start + 32 * i;
    require(name.data() == base + offset);
    require(name.size() <= 32 && offset + name.size() <= size);
    require(std::memchr(name.data(), '\0', name.size()) == nullptr);
    const size_t room = static_cast<size_t>(std::min<uint64_t>(32, size - offset));
    require(name.size() == room || name.data()[name.size()] == '\0');
  }
  return 0;
}
