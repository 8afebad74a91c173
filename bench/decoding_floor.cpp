// The floor of an extractor that decodes: the disc taken out as simply as
// it can be, with our decoder, by N threads.
//
//   orvex-bench-decoding-floor TREE IMAGE INDEX OUT THREADS
//
// Untimed: the names of TREE's files are listed, each is looked up in the
// index, the plain image is mapped with its pages in place. Timed: every folder is made, then the
// threads take files in turn; a compressed file's stream is copied out of
// the mapping and decoded in place, a stored file is written straight from
// the mapping; each goes into an unnamed temporary file in its folder, then
// is linked under its name. No walk, no order, no checks past what the
// decoder makes. Prints the wall time in seconds.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store.h"

namespace fs = std::filesystem;

namespace {

struct File {
  std::string path;  // relative to the output folder
  uint64_t offset = 0;  // of its stored bytes in the image file
  uint64_t stored = 0;
  bool compressed = false;
};

bool writeAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t wrote = write(fd, data, length);
    if (wrote <= 0) return false;
    data += wrote;
    length -= static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: orvex-bench-decoding-floor TREE IMAGE INDEX OUT THREADS\n");
    return 2;
  }
  const std::string tree = argv[1], out = argv[4];
  const int threads = std::atoi(argv[5]);
  orvex::Store store;
  orvex::Problems warnings;
  orvex::StorePart failedPart{};
  if (!orvex::openStore(argv[2], argv[3], &store, &warnings, &failedPart, orvex::io::realFs())
           .isOk()) {
    std::fprintf(stderr, "cannot open the disc\n");
    return 1;
  }
  uint64_t start = 0;
  if (store.image.plainFile(&start) == nullptr) {
    std::fprintf(stderr, "a plain image is needed\n");
    return 1;
  }
  std::vector<File> files;
  std::set<std::string> folders;
  for (const auto& entry : fs::recursive_directory_iterator(tree)) {
    const std::string rel = fs::relative(entry.path(), tree).string();
    if (entry.is_directory()) {
      folders.insert(rel);
      continue;
    }
    const orvex::Location where = orvex::locateFile(store, rel);
    if (!where.status.isOk()) {
      std::fprintf(stderr, "%s is not on the disc\n", rel.c_str());
      return 1;
    }
    files.push_back({rel, start + where.offset, where.entry->size,
                     (where.entry->flags & orvex::FLAG_COMPRESSED) != 0});
  }
  const int image = open(argv[2], O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (image < 0 || fstat(image, &info) != 0) return 1;
  const auto length = static_cast<size_t>(info.st_size);
  void* mapped = mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, image, 0);
  if (mapped == MAP_FAILED) return 1;
  const auto* bytes = static_cast<const uint8_t*>(mapped);

  const auto began = std::chrono::steady_clock::now();
  for (const std::string& folder : folders) mkdir((out + "/" + folder).c_str(), 0777);
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto work = [&] {
    std::vector<uint8_t> buffer;
    for (size_t i; (i = next.fetch_add(1)) < files.size();) {
      const File& f = files[i];
      const std::string path = out + "/" + f.path;
      const uint8_t* data = bytes + f.offset;
      size_t size = f.stored;
      if (f.compressed) {
        buffer.resize(f.stored);
        std::memcpy(buffer.data(), data, f.stored);
        if (!orvex::decompress(buffer, f.stored, &size).isOk()) failed = true;
        data = buffer.data();
      }
      const std::string folder = fs::path(path).parent_path().string();
      const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
      if (fd < 0 || !writeAll(fd, data, size)) failed = true;
      char self[64];
      std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
      if (linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) failed = true;
      close(fd);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("%.4f\n", seconds);
  munmap(mapped, length);
  close(image);
  return failed ? 1 : 0;
}
