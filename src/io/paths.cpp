#include "paths.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "fs.h"

namespace orvex {

Status resolvePath(const std::string& path, std::string* resolved) {
  std::unique_ptr<char, decltype(&std::free)> p(realpath(path.c_str(), nullptr), &std::free);
  if (!p) return Status::fromErrno(errno);
  *resolved = p.get();
  return Status::ok();
}

Status resolveOutputPath(const std::string& path, std::string* resolved) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  const std::string parent = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : trimmed.substr(0, slash);
  const std::string last = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  std::string dir;
  const Status status = resolvePath(parent, &dir);
  if (status.isOk()) *resolved = dir.back() == '/' ? dir + last : dir + "/" + last;
  return status;
}

Status checkMountPoint(const std::string& path) {
  struct stat point, parent;
  io::Fs& fs = io::realFs();
  if (const int err = fs.stat(AT_FDCWD, path.c_str(), &point, 0); err != 0)
    return Status::fromErrno(-err);
  if (!S_ISDIR(point.st_mode)) return Status::invalid("not a folder");
  const std::string up = path == "/" ? path : path + "/..";
  if (const int err = fs.stat(AT_FDCWD, up.c_str(), &parent, 0); err != 0)
    return Status::fromErrno(-err);
  // A mount point's device differs from its parent's (the root is its own parent).
  if (point.st_dev != parent.st_dev || point.st_ino == parent.st_ino)
    return Status::invalid("a file system is mounted there already");
  return Status::ok();
}

bool isInside(const std::string& path, const std::string& root) {
  if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0) return false;
  return root.back() == '/' || path[root.size()] == '/';
}

}  // namespace orvex
