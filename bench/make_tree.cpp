// Writes the extract benchmark's source tree: a fixed-seed set of files in a
// few hundred folders, most of them small, a few up to 40 MiB, about half of
// them (by count and by bytes) compressible. No two names share a name
// hash, as packing requires.
//
//   orvex-bench-tree DIR BYTES FILES [compressible]
//
// With "compressible", every file is text, code or records.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "content.h"
#include "rng.h"
#include "store.h"

namespace orvex::bench {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr double kSmallMin = 4, kSmallMax = 256 * 1024;
constexpr double kLargeMin = 1 * kMiB, kLargeMax = 40 * kMiB;
// Large compressible files stay within what the encoder takes; the largest
// files are media, already compressed.
constexpr double kLargeCompressibleMax = static_cast<double>(MAX_COMPRESSED_LENGTH);
constexpr uint64_t kFilesPerFolder = 60;
// The packer adds this name list to every disc.
constexpr char kNameListName[] = "menu.ard";

struct Plan {
  std::string name;
  Kind kind;
  uint64_t size;
};

double logUniform(Rng& rng, double lo, double hi) {
  return std::exp(std::log(lo) + rng.unit() * std::log(hi / lo));
}

const char* extension(Kind kind) {
  switch (kind) {
    case Kind::kText:
      return "txt";
    case Kind::kCode:
      return "c";
    case Kind::kRecords:
      return "rec";
    case Kind::kRandom:
      return "bin";
  }
  return "dat";
}

// Half the files are already-compressed bytes; the rest are text, code and
// records in equal parts.
Kind pickKind(Rng& rng, bool compressible) {
  if (!compressible) return Kind::kRandom;
  static constexpr Kind kCompressible[] = {Kind::kText, Kind::kCode, Kind::kRecords};
  return kCompressible[rng.below(3)];
}

// Small files first, one per requested file, then large ones until the
// byte budget is spent.
std::vector<Plan> plan(uint64_t bytes, uint64_t files, bool onlyCompressible) {
  Rng rng{0x7EE5EED};
  const uint64_t folders = std::max<uint64_t>(1, files / kFilesPerFolder);
  std::unordered_set<uint32_t> hashes{hashName(kNameListName)};
  std::vector<Plan> plans;
  uint64_t used = 0;
  auto add = [&](Kind kind, uint64_t size) {
    const auto folder = static_cast<unsigned long long>(rng.below(folders));
    for (int variant = 0;; ++variant) {
      char name[48];
      if (variant == 0)
        std::snprintf(name, sizeof name, "d%03llu/f%05zu.%s", folder, plans.size(),
                      extension(kind));
      else
        std::snprintf(name, sizeof name, "d%03llu/f%05zu_%d.%s", folder, plans.size(), variant,
                      extension(kind));
      if (hashes.insert(hashName(name)).second) {
        plans.push_back({name, kind, size});
        used += size;
        return;
      }
    }
  };
  for (uint64_t i = 0; i < files && used < bytes; ++i) {
    const Kind kind = pickKind(rng, rng.below(2) == 0 || onlyCompressible);
    add(kind, std::min<uint64_t>(static_cast<uint64_t>(logUniform(rng, kSmallMin, kSmallMax)),
                                 bytes - used));
  }
  // Two compressible files to one of media keeps the bytes about even.
  for (uint64_t i = 0; bytes - used >= kLargeMin; ++i) {
    const bool compressible = i % 3 != 2 || onlyCompressible;
    const double largest = compressible ? kLargeCompressibleMax : kLargeMax;
    const uint64_t size = std::min<uint64_t>(
        static_cast<uint64_t>(logUniform(rng, kLargeMin, largest)), bytes - used);
    add(pickKind(rng, compressible), size);
  }
  return plans;
}

bool makeDir(const std::string& path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

bool write(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace
}  // namespace orvex::bench

int main(int argc, char** argv) {
  using namespace orvex::bench;
  const bool onlyCompressible = argc == 5 && std::string(argv[4]) == "compressible";
  if (argc != 4 && !onlyCompressible) {
    std::fprintf(stderr, "usage: orvex-bench-tree DIR BYTES FILES [compressible]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const uint64_t bytes = std::strtoull(argv[2], nullptr, 10);
  const uint64_t files = std::strtoull(argv[3], nullptr, 10);
  if (!makeDir(dir)) {
    std::perror(dir.c_str());
    return 1;
  }
  const std::vector<Plan> plans = plan(bytes, files, onlyCompressible);
  std::unordered_set<std::string> folders;
  std::vector<uint8_t> content;
  uint64_t total = 0, compressibleBytes = 0, compressibleFiles = 0;
  for (size_t i = 0; i < plans.size(); ++i) {
    const Plan& p = plans[i];
    const std::string folder = p.name.substr(0, p.name.find('/'));
    if (folders.insert(folder).second && !makeDir(dir + "/" + folder)) {
      std::perror(folder.c_str());
      return 1;
    }
    makeContent(p.kind, i, p.size, &content);
    if (!write(dir + "/" + p.name, content)) {
      std::perror(p.name.c_str());
      return 1;
    }
    total += p.size;
    if (p.kind != Kind::kRandom) compressibleBytes += p.size, ++compressibleFiles;
  }
  std::printf("%zu files in %zu folders, %.1f MiB; compressible kinds: %llu files, %.1f MiB\n",
              plans.size(), folders.size(), static_cast<double>(total) / kMiB,
              static_cast<unsigned long long>(compressibleFiles),
              static_cast<double>(compressibleBytes) / kMiB);
  return 0;
}
