#include "decoder_bench.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "decoder_corpus.h"
#include "store.h"

namespace orvex::bench {
namespace {

std::vector<const CorpusFile*> select(std::optional<Kind> kind) {
  std::vector<const CorpusFile*> files;
  for (const CorpusFile& file : decoderCorpus())
    if (!kind || file.kind == *kind) files.push_back(&file);
  return files;
}

std::string kindLabel(std::optional<Kind> kind) { return kind ? kindName(*kind) : "all"; }

// One file's buffers: `in` receives what the store keeps for it before each
// timed pass, as a read from the image would; the timed pass turns that
// into the file, in `in` itself for our in-place decoder and in `out`
// otherwise.
struct Slot {
  const CorpusFile* file;
  bool compressed;
  const std::vector<uint8_t>* stored;
  size_t room;  // the length of `in` before every pass
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
};

Slot makeSlot(const CorpusFile* file, Decoder decoder) {
  Slot slot{file, false, &file->original, 0, {}, {}};
  if (decoder == Decoder::kOurs)
    slot.stored = &file->ours.bytes, slot.compressed = file->ours.compressed;
  if (decoder == Decoder::kLz4)
    slot.stored = &file->lz4.bytes, slot.compressed = file->lz4.compressed;
  const size_t s = file->original.size(), n = slot.stored->size();
  // Our decoder needs room for the larger of stream and file in one buffer.
  slot.room = decoder == Decoder::kOurs && slot.compressed ? std::max(s, n) : n;
  slot.in.resize(slot.room);
  if (!(decoder == Decoder::kOurs && slot.compressed)) slot.out.resize(s);
  return slot;
}

void refill(Slot& slot) {
  slot.in.resize(slot.room);  // decompress() leaves it at the file's length
  std::memcpy(slot.in.data(), slot.stored->data(), slot.stored->size());
}

bool decodeOne(Slot& slot, Decoder decoder) {
  const size_t s = slot.file->original.size(), n = slot.stored->size();
  if (!slot.compressed) {
    // Stored bytes cost the same copy under every decoder.
    std::memcpy(slot.out.data(), slot.in.data(), s);
    return true;
  }
  if (decoder == Decoder::kOurs) {
    size_t decoded = 0;
    return decompress(slot.in, n, &decoded).isOk() && decoded == s;
  }
  return decodeLz4(slot.in.data(), n, slot.out.data(), s) == static_cast<int>(s);
}

void decodeBench(benchmark::State& state, Decoder decoder, std::optional<Kind> kind) {
  std::vector<Slot> slots;
  int64_t bytes = 0;
  for (const CorpusFile* file : select(kind)) {
    slots.push_back(makeSlot(file, decoder));
    bytes += static_cast<int64_t>(file->original.size());
  }
  for (auto _ : state) {
    state.PauseTiming();
    for (Slot& slot : slots) refill(slot);
    state.ResumeTiming();
    for (Slot& slot : slots) {
      if (!decodeOne(slot, decoder)) {
        state.SkipWithError("a stream failed to decode");
        break;
      }
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}

void encodeBench(benchmark::State& state, Encoder encoder, std::optional<Kind> kind) {
  const std::vector<const CorpusFile*> files = select(kind);
  int64_t bytes = 0, kept = 0, compressedFiles = 0;
  size_t largest = 0;
  for (const CorpusFile* file : files) {
    const Stored& stored = encoder == Encoder::kOurs ? file->ours : file->lz4;
    bytes += static_cast<int64_t>(file->original.size());
    kept += static_cast<int64_t>(stored.bytes.size());
    compressedFiles += stored.compressed ? 1 : 0;
    largest = std::max(largest, file->original.size());
  }
  std::vector<uint8_t> stream;
  std::vector<uint8_t> lz4Out(encoder == Encoder::kLz4 ? lz4Bound(largest) : 0);
  for (auto _ : state) {
    for (const CorpusFile* file : files) {
      const uint8_t* data = file->original.data();
      const size_t size = file->original.size();
      if (encoder == Encoder::kOurs) {
        benchmark::DoNotOptimize(compress(data, size, &stream));
      } else {
        benchmark::DoNotOptimize(compressLz4(data, size, lz4Out.data()));
      }
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  // What a store keeps (stored bytes for files that do not compress) over
  // the original bytes.
  state.counters["ratio"] = static_cast<double>(kept) / static_cast<double>(bytes);
  state.counters["files"] = static_cast<double>(files.size());
  state.counters["compressed"] = static_cast<double>(compressedFiles);
}

std::vector<std::optional<Kind>> kindsAndAll() {
  std::vector<std::optional<Kind>> kinds{std::nullopt};
  for (Kind kind : kAllKinds) kinds.push_back(kind);
  return kinds;
}

}  // namespace

const char* decoderName(Decoder decoder) {
  switch (decoder) {
    case Decoder::kOurs:
      return "ours";
    case Decoder::kLz4:
      return "lz4";
    case Decoder::kMemcpy:
      return "memcpy";
  }
  return "?";
}

const char* encoderName(Encoder encoder) { return encoder == Encoder::kOurs ? "ours" : "lz4"; }

std::string decodeBenchmarkName(Decoder decoder, std::optional<Kind> kind) {
  return std::string("decode/") + decoderName(decoder) + "/" + kindLabel(kind);
}

std::string encodeBenchmarkName(Encoder encoder, std::optional<Kind> kind) {
  return std::string("encode/") + encoderName(encoder) + "/" + kindLabel(kind);
}

void registerDecoderBenchmarks() {
  for (std::optional<Kind> kind : kindsAndAll()) {
    for (Decoder decoder : {Decoder::kOurs, Decoder::kLz4, Decoder::kMemcpy}) {
      if (decoder == Decoder::kLz4 && !haveLz4()) continue;
      benchmark::RegisterBenchmark(decodeBenchmarkName(decoder, kind).c_str(), decodeBench, decoder,
                                   kind)
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (std::optional<Kind> kind : kindsAndAll()) {
    for (Encoder encoder : {Encoder::kOurs, Encoder::kLz4}) {
      if (encoder == Encoder::kLz4 && !haveLz4()) continue;
      benchmark::RegisterBenchmark(encodeBenchmarkName(encoder, kind).c_str(), encodeBench, encoder,
                                   kind)
          ->Unit(benchmark::kMillisecond);
    }
  }
}

}  // namespace orvex::bench
