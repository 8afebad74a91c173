#include "big_disc.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "disc_builder.h"
#include "disc_content.h"
#include "store.h"

namespace orvex::testing {
namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr char kComplete[] = "complete";

}  // namespace

// The folder is made absolute: the programs run in other folders, and on
// Windows a path from the root names a drive's folder only in the test's.
BigDisc::BigDisc(const std::string& where, bool rebuild)
    : dir(std::filesystem::absolute(where).string()) {
  files["big/stored-1.bin"] = noise(9 * kMiB, 1);
  files["big/packed-1.bin"] = textLike(7 * kMiB, 2);
  files["c/d/e/stored-2.bin"] = noise(5 * kMiB, 3);
  files["big/packed-2.bin"] = textLike(4 * kMiB, 4);
  const uint32_t m = static_cast<uint32_t>(kMiB);
  files["ev/scene.evt"] = eventFile(4, {64, m, 2 * m, 2 * m + 7}, 4 * kMiB);
  files["ev/small.evt"] = eventFile(2, {16, 20}, 30);
  files["eventsTable"] = eventsTable({"ev/scene.evt", "ev/small.evt"});
  files["small.txt"] = bytesOf("small\n");
  std::vector<std::string> menu = {"big/stored-1.bin",   "small.txt",        "big/packed-1.bin",
                                   "c/d/e/stored-2.bin", "big/packed-2.bin", "eventsTable"};
  std::vector<std::string> more;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "many/" + std::to_string(i) + ".txt";
    files[name] = textLike(100 + 50 * static_cast<size_t>(i), 10 + i);
    more.push_back(name);
  }
  for (const auto& [name, content] : files)
    if (content.size() > kMiB) large.push_back(name);

  if (rebuild || !std::filesystem::exists(dir + "/" + kComplete)) {
    removeTree(dir);
    std::filesystem::create_directories(dir);
    DiscBuilder disc;
    disc.addStored("menu.ard", encodeNameList(menu));
    disc.addStored("al00.ard", encodeNameList(more));
    disc.addStored("dc00.ard", encodeNameList({"ev/scene.evt", "ev/small.evt"}));
    for (const auto& [name, content] : files) {
      if (name.find("packed") != std::string::npos)
        disc.addCompressedStream(name, compressed(content));
      else
        disc.addStored(name, content);
    }
    const DiscBytes bytes = buildDisc(disc);
    writeBytes(dir + "/disc.img", bytes.image);
    writeBytes(dir + "/disc.idx", bytes.index);
    const ProgramResult r = extract(dir + "/reference");
    if (r.status != 0) throw std::runtime_error("reference run failed: " + r.err);
    writeText(dir + "/" + kComplete, "");
  }
  reference = snapshotTree(dir + "/reference");
}

ProgramResult BigDisc::extract(const std::string& work, const ProgramOptions& options) const {
  std::filesystem::create_directories(work);
  return runProgram(ORVEX_BINARY, {dir + "/disc.img", dir + "/disc.idx"}, work, options);
}

const BigDisc& bigDisc() {
  static TempDir own;
  const char* shared = std::getenv("ORVEX_BIG_DISC");
  static const BigDisc disc(shared && *shared ? shared : own / "big-disc", false);
  return disc;
}

}  // namespace orvex::testing
