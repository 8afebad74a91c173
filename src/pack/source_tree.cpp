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

bool fail(std::string* error, const std::string& name, const std::string& reason) {
  *error = name + ": " + reason;
  return false;
}

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

class TreeWalker {
 public:
  TreeWalker(std::string root, std::vector<SourceFile>* files, std::string* error)
      : root_(std::move(root)), files_(files), error_(error) {}

  bool walk(const std::string& dir, const std::string& prefix) {
    std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
    if (!d) return fail(error_, prefix.empty() ? dir : prefix, std::strerror(errno));
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* e = readdir(d.get())) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
      errno = 0;
    }
    if (errno != 0) return fail(error_, prefix.empty() ? dir : prefix, std::strerror(errno));
    d.reset();
    for (const std::string& n : names) {
      if (!visit(dir + "/" + n, prefix.empty() ? n : prefix + "/" + n)) return false;
    }
    return true;
  }

 private:
  bool visit(const std::string& path, const std::string& name) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return fail(error_, name, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return walk(path, name);
    if (S_ISLNK(st.st_mode)) {
      std::string target;
      if (!resolvePath(path, &target)) return fail(error_, name, "broken symlink");
      if (target != root_ && !isInside(target, root_))
        return fail(error_, name, "symlink points outside the source directory, to " + target);
      if (stat(path.c_str(), &st) != 0) return fail(error_, name, std::strerror(errno));
      if (S_ISDIR(st.st_mode)) return fail(error_, name, "symlink to a directory is not packed");
    }
    if (!S_ISREG(st.st_mode)) return fail(error_, name, "not a regular file");
    if (static_cast<uint64_t>(st.st_size) > kMaxFileSize)
      return fail(error_, name, "larger than 4 GiB - 1 bytes");
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(error_, name, std::string("cannot read: ") + std::strerror(errno));
    close(fd);
    files_->push_back({name, path, static_cast<uint64_t>(st.st_size)});
    return true;
  }

  std::string root_;
  std::vector<SourceFile>* files_;
  std::string* error_;
};

}  // namespace

bool listSourceTree(const std::string& dir, std::vector<SourceFile>* files, std::string* error) {
  std::string root;
  if (!resolvePath(dir, &root)) return fail(error, dir, std::strerror(errno));
  struct stat st;
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return fail(error, dir, "not a directory");
  files->clear();
  if (!TreeWalker(root, files, error).walk(root, "")) return false;
  std::sort(files->begin(), files->end(),
            [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
  return true;
}

}  // namespace orvex
