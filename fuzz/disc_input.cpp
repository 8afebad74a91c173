#include "disc_input.h"

#include <algorithm>

namespace orvex::fuzz {
namespace {

constexpr uint8_t kDescribed = 1;
constexpr uint8_t kNoMarker = 1 << 5;
constexpr uint8_t kRunTwice = 1 << 6;
constexpr uint8_t kCompressed = 1;
constexpr uint8_t kHasSector = 2;
constexpr uint8_t kHasSize = 4;

// Reads fields front to back; past the end, bytes read as zero.
struct Reader {
  const uint8_t* p;
  size_t left;

  bool done() const { return left == 0; }
  uint8_t byte() {
    if (left == 0) return 0;
    --left;
    return *p++;
  }
  // The input's own numbers, little-endian.
  uint32_t fixed32() {
    uint32_t v = 0;
    for (int shift = 0; shift < 32; shift += 8) v |= static_cast<uint32_t>(byte()) << shift;
    return v;
  }
  std::vector<uint8_t> bytes(size_t n) {
    n = std::min(n, left);
    std::vector<uint8_t> out(p, p + n);
    p += n;
    left -= n;
    return out;
  }
};

void putFixed32(std::vector<uint8_t>* out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

WholeRunInput decodeWholeRunInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const uint8_t mode = in.byte();
  WholeRunInput result;
  result.runTwice = mode & kRunTwice;
  if (!(mode & kDescribed)) {
    result.disc.index = in.bytes(in.fixed32());
    result.disc.image = in.bytes(in.left);
    return result;
  }
  DiscBuilder disc;
  disc.baseSector = mode >> 1 & 0x0F;
  disc.bootMarker = !(mode & kNoMarker);
  while (!in.done()) {
    const std::vector<uint8_t> name = in.bytes(in.byte());
    const uint8_t kind = in.byte();
    std::optional<uint32_t> sector, storedSize;
    if (kind & kHasSector) sector = in.fixed32();
    if (kind & kHasSize) storedSize = in.fixed32();
    std::vector<uint8_t> content = in.bytes(in.fixed32());
    const std::string_view nameText(reinterpret_cast<const char*>(name.data()), name.size());
    DiscFile& file = kind & kCompressed ? disc.addCompressedStream(nameText, std::move(content))
                                        : disc.addStored(nameText, std::move(content));
    file.sector = sector;
    file.size = storedSize;
  }
  result.disc = buildDisc(disc);
  return result;
}

DiscBuilder toBuilder(const DiscPlan& plan) {
  DiscBuilder disc;
  disc.baseSector = plan.baseSector;
  disc.bootMarker = plan.bootMarker;
  for (const PlannedFile& f : plan.files) {
    DiscFile& file = f.compressed ? disc.addCompressedStream(f.name, f.content)
                                  : disc.addStored(f.name, f.content);
    file.sector = f.sector;
    file.size = f.size;
  }
  return disc;
}

std::vector<uint8_t> encodeRawInput(const DiscBytes& disc, bool runTwice) {
  std::vector<uint8_t> out{static_cast<uint8_t>(runTwice ? kRunTwice : 0)};
  putFixed32(&out, static_cast<uint32_t>(disc.index.size()));
  out.insert(out.end(), disc.index.begin(), disc.index.end());
  out.insert(out.end(), disc.image.begin(), disc.image.end());
  return out;
}

std::vector<uint8_t> encodeDescribedInput(const DiscPlan& plan, bool runTwice) {
  uint8_t mode = kDescribed | static_cast<uint8_t>(std::min<uint32_t>(plan.baseSector, 15) << 1);
  if (!plan.bootMarker) mode |= kNoMarker;
  if (runTwice) mode |= kRunTwice;
  std::vector<uint8_t> out{mode};
  for (const PlannedFile& f : plan.files) {
    const size_t nameLength = std::min<size_t>(f.name.size(), 255);
    out.push_back(static_cast<uint8_t>(nameLength));
    out.insert(out.end(), f.name.begin(), f.name.begin() + static_cast<ptrdiff_t>(nameLength));
    out.push_back(static_cast<uint8_t>((f.compressed ? kCompressed : 0) |
                                       (f.sector ? kHasSector : 0) | (f.size ? kHasSize : 0)));
    if (f.sector) putFixed32(&out, *f.sector);
    if (f.size) putFixed32(&out, *f.size);
    putFixed32(&out, static_cast<uint32_t>(f.content.size()));
    out.insert(out.end(), f.content.begin(), f.content.end());
  }
  return out;
}

}  // namespace orvex::fuzz
