// An event file split in a scratch working directory. Input: u8 name
// length, the name (up to its first NUL), then the event file's bytes. The
// harness puts the file under that name when the name stays inside the
// sandbox (a ".." name too: it must then be left alone). Afterwards the
// working tree must hold exactly what was there, plus, for a safe name, the
// piece directory and one file per piece whose offsets lie inside the event
// file, as long as the pieces so far total no more than the file, with
// exactly those bytes; nothing outside may have changed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "extract.h"
#include "program.h"
#include "sandbox.h"

namespace {

namespace fs = std::filesystem;
using orvex::fuzz::Tree;

// Absolute, or with a ".." component: it may reach outside the directory.
bool leavesDirectory(std::string_view name) {
  if (name.starts_with('/')) return true;
  for (size_t start = 0;;) {
    const size_t slash = name.find('/', start);
    if (name.substr(start, slash - start) == "..") return true;
    if (slash == std::string_view::npos) return false;
    start = slash + 1;
  }
}

// The path as the snapshot spells it: no ".", empty or trailing components.
std::string canonical(const std::string& path) {
  std::string out;
  for (const auto& part : fs::path(path).lexically_normal()) {
    const std::string p = part.string();
    if (p.empty() || p == ".") continue;
    if (!out.empty()) out += '/';
    out += p;
  }
  return out;
}

// True when the name, taken from the working directory, stays inside the
// sandbox folder that holds the working directory.
bool staysInSandbox(const std::string& name) {
  return !name.empty() && name.front() != '/' && canonical("run/work/" + name).starts_with("run/");
}

void addDirectory(Tree* tree, const std::string& path) {
  for (fs::path p = canonical(path); !p.empty(); p = p.parent_path()) (*tree)[p.string()] = "<dir>";
}

// Writes bytes to path, created with mode (O_TRUNC or O_EXCL).
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes, int mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | mode, 0644);
  if (fd < 0) return false;
  const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  return written;
}

// Puts the event file in the current directory; false when the name gives
// no regular file there.
bool placeEventFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
    mkdir(name.substr(0, slash).c_str(), 0755);  // fails harmlessly for "", "." and ".."
  struct stat st;
  return writeFile(name, bytes, O_EXCL) && stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static orvex::fuzz::Sandbox sandbox;
  static std::FILE* discard = std::fopen("/dev/null", "w");
  if (size == 0) return 0;
  const size_t nameLength = std::min<size_t>(data[0], size - 1);
  std::string name(reinterpret_cast<const char*>(data + 1), nameLength);
  name.resize(std::strlen(name.c_str()));
  const std::vector<uint8_t> bytes(data + 1 + nameLength, data + size);

  sandbox.resetWork();
  // The event table names just this file; it lies outside the working tree.
  const std::string table = sandbox.root() + "/events.table";
  FUZZ_CHECK(writeFile(table, orvex::encodeEventsTable({name}), O_TRUNC));
  bool placed = false;
  sandbox.inWork([&] { placed = staysInSandbox(name) && placeEventFile(name, bytes); });
  const Tree outside = sandbox.outside();
  Tree expected = sandbox.workTree();

  std::vector<orvex::EventPiece> pieces;
  const size_t dot = name.rfind('.');
  const std::string dir = name.substr(0, dot);  // all of it when there is no dot
  if (placed && !leavesDirectory(name) && dot != std::string::npos && dot != 0 &&
      !leavesDirectory(dir) &&
      orvex::decodeEventPieces(bytes.data(), bytes.size(), &pieces).isOk()) {
    FUZZ_CHECK(bytes.size() >= 8 && pieces.size() <= (bytes.size() - 8) / 4);
    addDirectory(&expected, dir);
    // Pieces inside the file, and no more in all than its own length.
    uint64_t total = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
      const orvex::EventPiece& p = pieces[i];
      if (p.start > p.end || p.end > bytes.size()) continue;
      if (total + (p.end - p.start) > bytes.size()) continue;
      total += p.end - p.start;
      char number[32];
      std::snprintf(number, sizeof number, "/%03zu.mset", i);
      expected[canonical(dir + number)] =
          std::string(bytes.begin() + p.start, bytes.begin() + p.end);
    }
  }

  // The event pass of a run over an empty store, read through the real file system.
  orvex::Store store;
  store.image.fs = &orvex::io::realFs();
  orvex::Console console(discard, discard, "orvex");
  orvex::ExtractOptions options;
  options.walk.eventsTablePath = table;
  const int files = orvex::fuzz::openFileCount();
  sandbox.inWork([&] {
    std::unique_ptr<orvex::OutputDir> folder;
    FUZZ_CHECK(orvex::OutputDir::open(".", false, &folder, orvex::io::realFs()).isOk());
    orvex::extractAll(store, *folder, console, options);
  });
  FUZZ_CHECK(orvex::fuzz::openFileCount() == files);
  FUZZ_CHECK(sandbox.outside() == outside);
  const Tree after = sandbox.workTree();
  FUZZ_CHECK(after == expected);
  return 0;
}
