// Index benchmark: parsing an index file and looking names up in it, for
// indexes of a thousand to a million entries, closing with the cost per
// entry and per lookup at each size.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "medians.h"
#include "rng.h"
#include "store.h"

namespace orvex::bench {
namespace {

constexpr int64_t kSizes[] = {1000, 100000, 1000000};
constexpr size_t kProbes = 1 << 16;
constexpr size_t kHotSet = 1024;

// An index file's bytes and what to look up in it. Most entries are live,
// about 2% repeat an earlier hash (the first one wins) and 1% have sector
// 0 (never found).
struct Fixture {
  std::vector<uint8_t> bytes;
  FileIndex index;
  std::vector<uint32_t> liveHashes;
  std::vector<std::string> liveNames;  // only for the named index
};

std::string nameFor(uint64_t i) {
  char name[32];
  std::snprintf(name, sizeof name, "d%03u/f%07u.bin", static_cast<unsigned>(i / 3000),
                static_cast<unsigned>(i));
  return name;
}

Fixture makeFixture(int64_t size, bool named) {
  Rng rng{0x1D3C5 + static_cast<uint64_t>(size) + (named ? 1 : 0)};
  Fixture f;
  f.bytes.resize(static_cast<size_t>(size) * INDEX_ENTRY_SIZE);
  uint32_t sector = 1;
  for (int64_t i = 0; i < size; ++i) {
    IndexEntry e;
    const uint64_t roll = rng.below(100);
    bool dead = false;
    if (roll < 2 && !f.liveHashes.empty()) {
      e.hash = f.liveHashes[rng.below(f.liveHashes.size())];
    } else if (roll < 3) {
      e.hash = static_cast<uint32_t>(rng.next());
      dead = true;
    } else if (named) {
      f.liveNames.push_back(nameFor(static_cast<uint64_t>(i)));
      e.hash = hashName(f.liveNames.back());
      f.liveHashes.push_back(e.hash);
    } else {
      e.hash = static_cast<uint32_t>(rng.next());
      f.liveHashes.push_back(e.hash);
    }
    e.size = static_cast<uint32_t>(1 + rng.below(1 << 20));
    e.flags = static_cast<uint32_t>(rng.below(2));
    if (!dead) {
      e.sector = sector;
      sector += (e.size + SECTOR_SIZE - 1) / SECTOR_SIZE;
    }
    uint8_t* p = f.bytes.data() + static_cast<size_t>(i) * INDEX_ENTRY_SIZE;
    encodeIndexEntry(e, p);
  }
  f.index = parseIndex(f.bytes.data(), f.bytes.size());
  return f;
}

const Fixture& fixture(int64_t size, bool named) {
  static std::map<std::pair<int64_t, bool>, Fixture> built;
  auto it = built.find({size, named});
  if (it == built.end()) it = built.emplace(std::pair{size, named}, makeFixture(size, named)).first;
  return it->second;
}

void setPerItem(benchmark::State& state, const char* counterName, size_t itemsPerIteration) {
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(itemsPerIteration));
  // Seconds per item; the console shows it with an SI prefix (n = ns).
  state.counters[counterName] = benchmark::Counter(
      static_cast<double>(itemsPerIteration),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void parseBench(benchmark::State& state, int64_t size) {
  const Fixture& f = fixture(size, false);
  for (auto _ : state) {
    FileIndex index = parseIndex(f.bytes.data(), f.bytes.size());
    benchmark::DoNotOptimize(index);
  }
  setPerItem(state, "per_entry", static_cast<size_t>(size));
}

// 90% of probes are live hashes: over the whole index, or cycling through
// a small hot set; the rest are random hashes, almost surely absent.
std::vector<uint32_t> hashProbes(const Fixture& f, bool hot) {
  Rng rng{0xF00D};
  const size_t pool = hot ? std::min(kHotSet, f.liveHashes.size()) : f.liveHashes.size();
  std::vector<uint32_t> probes(kProbes);
  for (uint32_t& p : probes)
    p = rng.below(10) == 0 ? static_cast<uint32_t>(rng.next()) : f.liveHashes[rng.below(pool)];
  return probes;
}

void findPositionBench(benchmark::State& state, int64_t size, bool hot) {
  const Fixture& f = fixture(size, false);
  const std::vector<uint32_t> probes = hashProbes(f, hot);
  int64_t found = 0;
  for (auto _ : state) {
    for (uint32_t hash : probes) found += f.index.findPosition(hash) >= 0;
    benchmark::DoNotOptimize(found);
  }
  setPerItem(state, "per_lookup", probes.size());
  state.counters["hit_rate"] =
      benchmark::Counter(static_cast<double>(found) / static_cast<double>(probes.size()),
                         benchmark::Counter::kAvgIterations);
}

void findEntryBench(benchmark::State& state, int64_t size) {
  const Fixture& f = fixture(size, true);
  Rng rng{0xBEEF};
  std::vector<std::string> probes(kProbes);
  for (std::string& p : probes)
    p = rng.below(10) == 0 ? nameFor(static_cast<uint64_t>(size) + rng.below(10000000))
                           : f.liveNames[rng.below(f.liveNames.size())];
  int64_t found = 0;
  for (auto _ : state) {
    for (const std::string& name : probes) found += findEntry(f.index, name) != nullptr;
    benchmark::DoNotOptimize(found);
  }
  setPerItem(state, "per_lookup", probes.size());
  state.counters["hit_rate"] =
      benchmark::Counter(static_cast<double>(found) / static_cast<double>(probes.size()),
                         benchmark::Counter::kAvgIterations);
}

std::string sized(const char* what, int64_t size) {
  std::string name(what);
  name += '/';
  name += std::to_string(size);
  return name;
}

void registerAll() {
  for (int64_t size : kSizes) {
    benchmark::RegisterBenchmark(sized("parse", size).c_str(), parseBench, size);
    benchmark::RegisterBenchmark(sized("findPosition/random", size).c_str(), findPositionBench,
                                 size, false);
    benchmark::RegisterBenchmark(sized("findPosition/hot", size).c_str(), findPositionBench, size,
                                 true);
    benchmark::RegisterBenchmark(sized("findEntry", size).c_str(), findEntryBench, size);
  }
}

struct Column {
  const char* benchmark;
  const char* counter;
  const char* heading;
};

constexpr Column kColumns[] = {
    {"parse", "per_entry", "parse/entry"},
    {"findPosition/random", "per_lookup", "random"},
    {"findPosition/hot", "per_lookup", "hot"},
    {"findEntry", "per_lookup", "findEntry"},
};

double nanoseconds(const MedianCollector& medians, const Column& column, int64_t size) {
  return counter(medians.median(sized(column.benchmark, size)), column.counter) * 1e9;
}

void printSummary(const MedianCollector& medians) {
  std::printf("\nSummary: medians of %lld repetitions, CPU nanoseconds per entry or per lookup\n",
              static_cast<long long>(medians.repetitions()));
  std::printf("  %9s", "entries");
  for (const Column& column : kColumns) std::printf(" %12s", column.heading);
  std::printf("\n");
  for (int64_t size : kSizes) {
    std::printf("  %9lld", static_cast<long long>(size));
    for (const Column& column : kColumns) {
      const double ns = nanoseconds(medians, column, size);
      if (ns > 0)
        std::printf(" %12.2f", ns);
      else
        std::printf(" %12s", "-");  // not run
    }
    std::printf("\n");
  }
  std::printf("  %9s", "1M / 1k");
  for (const Column& column : kColumns) {
    const double small = nanoseconds(medians, column, kSizes[0]);
    const double large = nanoseconds(medians, column, kSizes[2]);
    if (small > 0)
      std::printf(" %11.2fx", large / small);
    else
      std::printf(" %12s", "-");
  }
  std::printf(
      "\nrandom: %zu hashes per pass spread over the whole index (90%% live) in a tight loop,\n"
      "so the processor overlaps their cache misses; hot: %zu live hashes cycled, the index\n"
      "stays in cache; findEntry: names hashed then looked up, as the extractor does, which\n"
      "leaves little room to overlap the misses of one lookup with the next.\n",
      kProbes, kHotSet);
}

}  // namespace
}  // namespace orvex::bench

int main(int argc, char** argv) {
  using namespace orvex::bench;
  std::vector<char*> args = withRepetitionDefaults(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  registerAll();
  MedianCollector medians;
  benchmark::RunSpecifiedBenchmarks(&medians);
  printSummary(medians);
  benchmark::Shutdown();
  return 0;
}
