#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "pack.h"
#include "paths.h"

namespace orvex {
namespace {

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu;

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

const char* specialKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "of an unknown kind";
}

// Walks the whole tree, noting every entry that cannot be packed and going
// on with the rest, so that one run reports all of them.
class TreeWalker {
 public:
  TreeWalker(std::string root, std::vector<SourceFile>* files, std::vector<std::string>* problems)
      : root_(std::move(root)), files_(files), problems_(problems) {}

  void walk(const std::string& dir, const std::string& prefix) {
    std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
    if (!d) return note(prefix.empty() ? dir : prefix, std::strerror(errno));
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* e = readdir(d.get())) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
      errno = 0;
    }
    if (errno != 0) return note(prefix.empty() ? dir : prefix, std::strerror(errno));
    d.reset();
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) visit(dir + "/" + n, prefix.empty() ? n : prefix + "/" + n);
  }

 private:
  void note(const std::string& name, const std::string& reason) {
    problems_->push_back(name + ": " + reason);
  }

  void visit(const std::string& path, const std::string& name) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return note(name, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return walk(path, name);
    if (S_ISLNK(st.st_mode)) {
      std::string target;
      if (!resolvePath(path, &target).isOk()) return note(name, "broken symlink");
      if (target != root_ && !isInside(target, root_))
        return note(name, "symlink points outside the source directory, to " + target);
      if (stat(path.c_str(), &st) != 0) return note(name, std::strerror(errno));
      if (S_ISDIR(st.st_mode)) return note(name, "symlink to a directory is not packed");
    }
    if (!S_ISREG(st.st_mode))
      return note(name, std::string("not a regular file (") + specialKind(st.st_mode) + ")");
    if (static_cast<uint64_t>(st.st_size) > kMaxFileSize)
      return note(name, "4 GiB or larger; the index holds sizes below 4 GiB");
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return note(name, std::string("cannot read: ") + std::strerror(errno));
    close(fd);
    files_->push_back({name, path, static_cast<uint64_t>(st.st_size)});
  }

  std::string root_;
  std::vector<SourceFile>* files_;
  std::vector<std::string>* problems_;
};

}  // namespace

bool listSourceTree(const std::string& dir, std::vector<SourceFile>* files,
                    std::vector<std::string>* problems) {
  files->clear();
  std::string root;
  if (const Status status = resolvePath(dir, &root); !status.isOk()) {
    problems->push_back(dir + ": " + status.message());
    return false;
  }
  struct stat st;
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    problems->push_back(dir + ": not a directory");
    return false;
  }
  const size_t before = problems->size();
  TreeWalker(root, files, problems).walk(root, "");
  std::sort(files->begin(), files->end(),
            [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
  return problems->size() == before;
}

}  // namespace orvex
