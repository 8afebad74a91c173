#include <cstdio>

#include "extract.h"
#include "files.h"

namespace orvex {

void warn(Run& run, std::string_view name, std::string_view reason) {
  // Names come from the disc: keep control bytes from breaking the line.
  std::string shown(name);
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  std::fprintf(run.err, "orvex: warning: %s: %.*s\n", shown.c_str(),
               static_cast<int>(reason.size()), reason.data());
  ++run.stats.warnings;
}

bool isUnsafeName(std::string_view name) {
  if (!name.empty() && name.front() == '/') return true;
  size_t start = 0;
  for (;;) {
    const size_t slash = name.find('/', start);
    const std::string_view part = name.substr(start, slash - start);
    if (part == "..") return true;
    if (slash == std::string_view::npos) return false;
    start = slash + 1;
  }
}

void dumpFile(Run& run, std::string_view name) {
  if (name.empty()) return;
  if (isUnsafeName(name)) {
    warn(run, name, "unsafe name (absolute or with a '..' part), skipped");
    return;
  }
  const std::string path(name);
  if (fileExists(path)) {
    ++run.stats.filesPresent;
    markReached(run, run.store.index.findPosition(hashName(name)));
    return;
  }
  const Location where = locateFile(run.store, name);
  markReached(run, where.position);
  if (where.status == ReadStatus::kNotFound) return;
  if (where.status == ReadStatus::kDamaged) {
    warn(run, name, where.why + ", not written");
    return;
  }
  std::string error;
  uint64_t written = 0;
  bool ok;
  if (where.entry->flags & FLAG_COMPRESSED) {
    if (readLocatedInto(run.store, where, &run.buffer, &error) != ReadStatus::kFound) {
      warn(run, name, error + ", not written");
      return;
    }
    std::fprintf(run.out, "Dumping %s\n", path.c_str());
    ok = writeFileAtomic(path, run.buffer.data(), run.buffer.size(), &error);
    written = run.buffer.size();
  } else {
    // Stored bytes go from the image to the file without passing through
    // this process.
    std::fprintf(run.out, "Dumping %s\n", path.c_str());
    ok = copyFileAtomic(path, run.store.image.fd, where.offset, where.entry->size, &error);
    written = where.entry->size;
  }
  if (!ok) {
    warn(run, name, error);
    return;
  }
  ++run.stats.filesWritten;
  run.stats.bytesWritten += written;
  if (run.progress) run.progress->update(run);
}

void markReached(Run& run, int64_t position) {
  if (position < 0 || run.reached[static_cast<size_t>(position)]) return;
  run.reached[static_cast<size_t>(position)] = 1;
  ++run.reachedCount;
}

}  // namespace orvex
