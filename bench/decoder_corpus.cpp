#include "decoder_corpus.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "rng.h"
#include "store.h"

namespace orvex::bench {
namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kSmallest = 64 * 1024;
constexpr size_t kLargest = 4 * kMiB;

struct Share {
  Kind kind;
  size_t bytes;
};
// 64 MiB in all: mostly compressible, a fifth already compressed.
constexpr Share kShares[] = {{Kind::kText, 20 * kMiB},
                             {Kind::kCode, 16 * kMiB},
                             {Kind::kRecords, 16 * kMiB},
                             {Kind::kRandom, 12 * kMiB}};

[[noreturn]] void fail(const CorpusFile& file, size_t number, const char* codec) {
  std::fprintf(stderr, "corpus file %zu (%s, %zu bytes): %s stream does not decode back\n", number,
               kindName(file.kind), file.original.size(), codec);
  std::exit(1);
}

void check(const CorpusFile& file, size_t number) {
  if (file.ours.compressed) {
    std::vector<uint8_t> buf = file.ours.bytes;
    size_t decoded = 0;
    if (!decompress(buf, buf.size(), &decoded).isOk() || decoded != file.original.size() ||
        !std::equal(file.original.begin(), file.original.end(), buf.begin()))
      fail(file, number, "our");
  }
  if (file.lz4.compressed) {
    std::vector<uint8_t> out(file.original.size());
    const int n = decodeLz4(file.lz4.bytes.data(), file.lz4.bytes.size(), out.data(), out.size());
    if (n < 0 || static_cast<size_t>(n) != out.size() || out != file.original)
      fail(file, number, "LZ4");
  }
}

std::vector<CorpusFile> build() {
  Rng rng{0xC0D5EC0DE};
  std::vector<CorpusFile> files;
  for (const Share& share : kShares) {
    size_t left = share.bytes;
    while (left > 0) {
      const double logSize = std::log(static_cast<double>(kSmallest)) +
                             rng.unit() * std::log(static_cast<double>(kLargest / kSmallest));
      size_t size = std::min(static_cast<size_t>(std::exp(logSize)), left);
      if (left - size < kSmallest) size = left;  // no runt at the end
      CorpusFile& file = files.emplace_back();
      file.kind = share.kind;
      makeContent(share.kind, rng.next(), size, &file.original);
      file.ours = encodeOurs(file.original.data(), size);
      if (haveLz4()) file.lz4 = encodeLz4(file.original.data(), size);
      check(file, files.size() - 1);
      left -= size;
    }
  }
  return files;
}

}  // namespace

const std::vector<CorpusFile>& decoderCorpus() {
  static const std::vector<CorpusFile> files = build();
  return files;
}

}  // namespace orvex::bench
