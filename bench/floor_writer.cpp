// The floor an extractor cannot beat: the extracted tree written from
// memory by N threads, doing nothing but create folders and files.
//
//   orvex-bench-floor TREE OUT THREADS plain|safe
//
// TREE is read into memory first (untimed). Then, timed: every folder is
// made, and the threads take files in turn and write each one, "plain" as
// open(O_CREAT|O_EXCL), write, close, or "safe" as a safe extractor must:
// an unnamed temporary file in its folder, written, then linked under its
// final name. Prints the wall time in seconds.
#include <fcntl.h>
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

namespace fs = std::filesystem;

struct File {
  std::string path;  // relative
  std::vector<char> bytes;
};

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: orvex-bench-floor TREE OUT THREADS plain|safe\n");
    return 2;
  }
  const std::string tree = argv[1], out = argv[2];
  const int threads = std::atoi(argv[3]);
  const bool safe = std::strcmp(argv[4], "safe") == 0;
  std::vector<File> files;
  std::set<std::string> folders;
  for (const auto& entry : fs::recursive_directory_iterator(tree)) {
    const std::string rel = fs::relative(entry.path(), tree).string();
    if (entry.is_directory()) {
      folders.insert(rel);
      continue;
    }
    File file{rel, std::vector<char>(entry.file_size())};
    const int fd = open(entry.path().c_str(), O_RDONLY);
    if (fd < 0 || read(fd, file.bytes.data(), file.bytes.size()) !=
                      static_cast<ssize_t>(file.bytes.size()))
      return 1;
    close(fd);
    files.push_back(std::move(file));
  }
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& folder : folders) mkdir((out + "/" + folder).c_str(), 0777);
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < files.size();) {
      const File& f = files[i];
      const std::string path = out + "/" + f.path;
      int fd;
      if (safe) {
        const std::string folder = fs::path(path).parent_path().string();
        fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
      } else {
        fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
      }
      if (fd < 0 || write(fd, f.bytes.data(), f.bytes.size()) !=
                        static_cast<ssize_t>(f.bytes.size()))
        failed = true;
      if (safe) {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        if (linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) failed = true;
      }
      close(fd);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.4f\n", seconds);
  return failed ? 1 : 0;
}
