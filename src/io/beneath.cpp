#include "beneath.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>

namespace orvex::io {
namespace {

std::atomic<bool> alwaysWalk{false};

bool isLink(Fs& fs, int base, const std::string& name) {
  struct stat st;
  return fs.stat(base, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// openat2 retried while a rename races the lookup (EAGAIN) and on EINTR.
int openBeneathRetrying(Fs& fs, int base, const std::string& path, int flags) {
  for (int attempt = 0;; ++attempt) {
    const int fd = fs.openBeneath(base, path.c_str(), flags);
    if (fd == -EINTR || (fd == -EAGAIN && attempt < 16)) continue;
    return fd;
  }
}

Status makeAll(Fs& fs, const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!prefix.empty()) {
      const int err = fs.mkdir(AT_FDCWD, prefix.c_str(), 0777);
      if (err != 0 && err != -EEXIST)
        return Status::fromErrno("cannot create directory " + prefix, -err);
    }
    if (slash == std::string::npos) return Status::ok();
  }
}

}  // namespace

void setWalkingResolution(bool always) { alwaysWalk = always; }

Status splitName(std::string_view name, PathParts* parts) {
  parts->clear();
  if (name.find('\0') != std::string_view::npos) return Status::invalid("a name with a NUL byte");
  if (!name.empty() && name.front() == '/') return Status::unsafe("an absolute name");
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part == "..") return Status::unsafe("a name that climbs out with ..");
    if (!part.empty() && part != ".") parts->emplace_back(part);
    start = end + 1;
  }
  return Status::ok();
}

std::string joinParts(const PathParts& parts, size_t count) {
  std::string path;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) path += '/';
    path += parts[i];
  }
  return path;
}

Status resolveError(const std::string& what, int err, const std::string& at) {
  if (err == EXDEV) return Status::unsafe("leads outside the output folder");
  if (err == kLinkInWay) return Status::unsafe("passes through a link at " + at);
  return Status::fromErrno(what, err);
}

Status Beneath::open(Fs& fs, const std::string& path, bool create, Beneath* root) {
  if (create) {
    if (Status s = makeAll(fs, path); !s.isOk()) return s;
  }
  const int fd = fs.open(AT_FDCWD, path.c_str(), O_PATH | O_DIRECTORY);
  if (fd < 0) return Status::fromErrno("cannot open " + path, -fd);
  root->fs_ = &fs;
  root->root_.reset(fd);
  root->walk_ = alwaysWalk;
  if (!root->walk_) {
    // Kernels before 5.6, and some sandboxes, lack openat2.
    const int probe = openBeneathRetrying(fs, fd, ".", O_PATH | O_DIRECTORY);
    if (probe >= 0)
      Fd(probe).close();
    else
      root->walk_ = probe == -ENOSYS || probe == -EPERM;
  }
  return Status::ok();
}

Status Beneath::clone(Beneath* copy) const {
  const int fd = fcntl(root_.get(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return Status::fromErrno("cannot open the folder again", errno);
  copy->fs_ = fs_;
  copy->root_.reset(fd);
  copy->walk_ = walk_;
  return Status::ok();
}

int Beneath::openStep(int base, const PathParts& parts, size_t index, Fd* folder) {
  int fd;
  if (!walk_) {
    fd = openBeneathRetrying(*fs_, root_.get(), joinParts(parts, index + 1), O_PATH | O_DIRECTORY);
  } else {
    fd = fs_->open(base, parts[index].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW);
    if (fd == -ENOTDIR && isLink(*fs_, base, parts[index])) return kLinkInWay;
  }
  if (fd < 0) return -fd;
  folder->reset(fd);
  return 0;
}

int Beneath::openFolder(const PathParts& parts, size_t count, bool create, Fd* folder,
                        size_t* failedAt) {
  *failedAt = count;
  if (!walk_) {
    const int fd =
        openBeneathRetrying(*fs_, root_.get(), joinParts(parts, count), O_PATH | O_DIRECTORY);
    if (fd >= 0) {
      folder->reset(fd);
      return 0;
    }
    // Without creation the whole path is enough; with it, find the first
    // missing folder and name the one in the way.
    if (!create || (fd != -ENOENT && fd != -ENOTDIR)) return -fd;
  }
  Fd current;
  for (size_t i = 0; i < count; ++i) {
    const int base = current.valid() ? current.get() : root_.get();
    Fd next;
    int err = openStep(base, parts, i, &next);
    if (err == ENOENT && create) {
      const int made = fs_->mkdir(base, parts[i].c_str(), 0777);
      err = made == 0 || made == -EEXIST ? 0 : -made;
      if (err == 0) err = openStep(base, parts, i, &next);
    }
    if (err != 0) {
      *failedAt = i + 1;
      return err;
    }
    current = std::move(next);
  }
  if (!current.valid()) {
    const int fd = fcntl(root_.get(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno;
    current.reset(fd);
  }
  *folder = std::move(current);
  return 0;
}

int Beneath::openFile(const PathParts& parts, int flags) {
  if (!walk_) return openBeneathRetrying(*fs_, root_.get(), joinParts(parts, parts.size()), flags);
  Fd folder;
  size_t failedAt = 0;
  if (const int err = openFolder(parts, parts.size() - 1, false, &folder, &failedAt); err != 0)
    return err == kLinkInWay ? -ELOOP : -err;
  return fs_->open(folder.get(), parts.back().c_str(), flags | O_NOFOLLOW);
}

}  // namespace orvex::io
