// Decoder benchmark: our decoder against LZ4 and memcpy on one corpus, and
// our encoder's ratio and speed, closing with a table of medians.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <optional>

#include "codecs.h"
#include "decoder_bench.h"
#include "decoder_corpus.h"
#include "medians.h"

namespace orvex::bench {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

struct Tally {
  size_t files = 0;
  double original = 0, ours = 0, lz4 = 0;
  size_t oursCompressed = 0, lz4Compressed = 0;
};

Tally tally(std::optional<Kind> kind) {
  Tally t;
  for (const CorpusFile& file : decoderCorpus()) {
    if (kind && file.kind != *kind) continue;
    ++t.files;
    t.original += static_cast<double>(file.original.size());
    t.ours += static_cast<double>(file.ours.bytes.size());
    t.lz4 += static_cast<double>(file.lz4.bytes.size());
    t.oursCompressed += file.ours.compressed ? 1 : 0;
    t.lz4Compressed += file.lz4.compressed ? 1 : 0;
  }
  return t;
}

std::vector<std::optional<Kind>> rows() {
  std::vector<std::optional<Kind>> kinds{std::nullopt};
  for (Kind kind : kAllKinds) kinds.push_back(kind);
  return kinds;
}

const char* label(std::optional<Kind> kind) { return kind ? kindName(*kind) : "all"; }

void printCorpus() {
  std::printf("Corpus (fixed seed): kind, files, MiB; files of 64 KiB .. 4 MiB\n");
  for (std::optional<Kind> kind : rows()) {
    const Tally t = tally(kind);
    std::printf("  %-8s %4zu files %7.2f MiB\n", label(kind), t.files, t.original / kMiB);
  }
  if (!haveLz4()) std::printf("LZ4 rows skipped: lz4.h / liblz4 were not found at build time\n");
  std::printf(
      "Decode rows: before each timed pass every file's stored bytes are copied into its buffer\n"
      "(untimed, like a read from the image); the pass turns them into the file. Files kept\n"
      "stored because they do not compress cost one memcpy under every decoder.\n"
      "Rates are per CPU second of this thread, which other load on the machine skews less\n"
      "than wall time (the Time column).\n\n");
  std::fflush(stdout);
}

double mbps(const MedianCollector& medians, const std::string& name) {
  return counter(medians.median(name), "bytes_per_second") / 1e6;
}

void printRatio(double a, double b) {
  if (a > 0 && b > 0)
    std::printf(" %10.2f", a / b);
  else
    std::printf(" %10s", "-");
}

void printRate(double v) {
  if (v > 0)
    std::printf(" %10.1f", v);
  else
    std::printf(" %10s", "-");
}

void printSummary(const MedianCollector& medians) {
  std::printf("\nSummary: medians of %lld repetitions; MB/s = 10^6 bytes of file per CPU second\n",
              static_cast<long long>(medians.repetitions()));
  std::printf("Decode       ours MB/s   lz4 MB/s memcpy MB/s   ours/lz4 ours/memcpy\n");
  for (std::optional<Kind> kind : rows()) {
    const double ours = mbps(medians, decodeBenchmarkName(Decoder::kOurs, kind));
    const double lz4 = mbps(medians, decodeBenchmarkName(Decoder::kLz4, kind));
    const double copy = mbps(medians, decodeBenchmarkName(Decoder::kMemcpy, kind));
    std::printf("  %-8s", label(kind));
    printRate(ours);
    printRate(lz4);
    printRate(copy);
    printRatio(ours, lz4);
    printRatio(ours, copy);
    std::printf("\n");
  }
  std::printf(
      "Encode       ours MB/s   lz4 MB/s  ours ratio  lz4 ratio  compressed files (ours, lz4)\n");
  for (std::optional<Kind> kind : rows()) {
    const Tally t = tally(kind);
    std::printf("  %-8s", label(kind));
    printRate(mbps(medians, encodeBenchmarkName(Encoder::kOurs, kind)));
    printRate(mbps(medians, encodeBenchmarkName(Encoder::kLz4, kind)));
    std::printf("  %10.3f", t.ours / t.original);
    if (haveLz4())
      std::printf(" %10.3f", t.lz4 / t.original);
    else
      std::printf(" %10s", "-");
    std::printf("  %zu, %zu of %zu\n", t.oursCompressed, t.lz4Compressed, t.files);
  }
  std::printf("ratio = bytes the store keeps / original bytes (lower is better)\n");
}

}  // namespace
}  // namespace orvex::bench

int main(int argc, char** argv) {
  using namespace orvex::bench;
  std::vector<char*> args = withRepetitionDefaults(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  printCorpus();
  registerDecoderBenchmarks();
  MedianCollector medians;
  benchmark::RunSpecifiedBenchmarks(&medians);
  printSummary(medians);
  benchmark::Shutdown();
  return 0;
}
