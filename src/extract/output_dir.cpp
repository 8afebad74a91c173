#include "output_dir.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace orvex {
namespace {

// A link met while walking in the fallback mode, where links are not followed.
constexpr int kLinkInWay = -1;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// openat2 beneath base; returns a descriptor or -1 with errno set.
int openBeneath(int base, const std::string& path, int flags, mode_t mode = 0) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = mode;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0;; ++attempt) {
    const long fd = syscall(SYS_openat2, base, path.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: a rename raced the lookup.
    if (errno == EINTR || (errno == EAGAIN && attempt < 16)) continue;
    return -1;
  }
}

bool isLink(int base, const std::string& name) {
  struct stat st;
  return fstatat(base, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

std::string join(const std::vector<std::string>& parts, size_t count) {
  std::string path;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) path += '/';
    path += parts[i];
  }
  return path;
}

// Splits a relative name into its components, dropping empty and "." ones.
Status split(std::string_view name, std::vector<std::string>* parts) {
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

Status resolveError(const std::string& what, int err, const std::string& at) {
  if (err == EXDEV) return Status::unsafe("leads outside the output folder");
  if (err == kLinkInWay) return Status::unsafe("passes through a link at " + at);
  return Status::fromErrno(what, err);
}

Status writeAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t put = write(fd, data, length);
    if (put < 0) {
      if (errno == EINTR) continue;
      return Status::fromErrno("cannot write", errno);
    }
    data += put;
    length -= static_cast<size_t>(put);
  }
  return Status::ok();
}

// Copies through sendfile, inside the kernel, where copy_file_range refuses
// the pair (another file system). Returns false, having copied nothing, when
// sendfile refuses it too.
bool copyBySending(int from, loff_t* offset, uint64_t* length, int to, Status* status) {
  bool started = false;
  while (*length > 0) {
    const ssize_t sent = sendfile(to, from, offset, std::min<uint64_t>(*length, 1 << 30));
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (!started && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) return false;
      *status = Status::fromErrno("cannot copy", errno);
      return true;
    }
    if (sent == 0) {
      *status = Status::damaged("cannot read the image: it ends early");
      return true;
    }
    started = true;
    *length -= static_cast<uint64_t>(sent);
  }
  *status = Status::ok();
  return true;
}

Status copyByReading(int from, loff_t offset, uint64_t length, int to) {
  std::vector<uint8_t> buffer(std::min<uint64_t>(length, 1 << 16));
  while (length > 0) {
    const ssize_t got =
        pread(from, buffer.data(), std::min<uint64_t>(length, buffer.size()), offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Status::fromErrno("cannot read the image", errno);
    }
    if (got == 0) return Status::damaged("cannot read the image: it ends early");
    if (Status s = writeAll(to, buffer.data(), static_cast<size_t>(got)); !s.isOk()) return s;
    offset += got;
    length -= static_cast<uint64_t>(got);
  }
  return Status::ok();
}

// Copies inside the kernel while *inKernel holds; once the kernel refuses to
// copy between the two files (another file system, say), clears it, so that
// later copies between the same pair go straight to reading and writing.
Status copyRange(int from, uint64_t offset, uint64_t length, int to, bool* inKernel) {
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      length > static_cast<uint64_t>(INT64_MAX) - offset)
    return Status::invalid("a source range beyond any file");
  loff_t at = static_cast<loff_t>(offset);
  if (!*inKernel) {
    Status sent;
    return copyBySending(from, &at, &length, to, &sent) ? sent
                                                        : copyByReading(from, at, length, to);
  }
  while (length > 0) {
    const ssize_t copied = copy_file_range(from, &at, to, nullptr, length, 0);
    if (copied < 0) {
      if (errno == EINTR) continue;
      if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        *inKernel = false;
        Status sent;
        return copyBySending(from, &at, &length, to, &sent) ? sent
                                                            : copyByReading(from, at, length, to);
      }
      return Status::fromErrno("cannot copy", errno);
    }
    if (copied == 0) return Status::damaged("cannot read the image: it ends early");
    length -= static_cast<uint64_t>(copied);
  }
  return Status::ok();
}

Status makeAll(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
      return Status::fromErrno("cannot create directory " + prefix, errno);
    if (slash == std::string::npos) return Status::ok();
  }
}

}  // namespace

Status OutputDir::open(const std::string& path, bool create, std::unique_ptr<OutputDir>* dir) {
  if (create) {
    if (Status s = makeAll(path); !s.isOk()) return s;
  }
  const int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status::fromErrno("cannot open " + path, errno);
  const char* mode = std::getenv("ORVEX_RESOLVE");
  bool walk = mode != nullptr && std::strcmp(mode, "walk") == 0;
  if (!walk) {
    // Kernels before 5.6, and some sandboxes, lack openat2.
    const int probe = openBeneath(fd, ".", O_PATH | O_DIRECTORY);
    if (probe >= 0)
      close(probe);
    else
      walk = errno == ENOSYS || errno == EPERM;
  }
  const bool procFd = access("/proc/self/fd", X_OK) == 0;
  dir->reset(new OutputDir(fd, path, walk, procFd));
  return Status::ok();
}

OutputDir::OutputDir(int fd, std::string path, bool walk, bool procFd)
    : fd_(fd), path_(std::move(path)), walk_(walk), procFd_(procFd) {}

OutputDir::~OutputDir() {
  forgetParent();
  close(fd_);
}

void OutputDir::forgetParent() {
  if (parentFd_ >= 0) close(parentFd_);
  parentFd_ = -1;
  parentName_.clear();
}

int OutputDir::openStep(int base, const Parts& parts, size_t index, int* folder) {
  if (!walk_) {
    *folder = openBeneath(fd_, join(parts, index + 1), O_PATH | O_DIRECTORY);
    return *folder >= 0 ? 0 : errno;
  }
  *folder = openat(base, parts[index].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (*folder >= 0) return 0;
  const int err = errno;
  return err == ENOTDIR && isLink(base, parts[index]) ? kLinkInWay : err;
}

int OutputDir::openFolder(const Parts& parts, size_t count, bool create, int* folder,
                          size_t* failedAt) {
  *failedAt = count;
  if (!walk_) {
    *folder = openBeneath(fd_, join(parts, count), O_PATH | O_DIRECTORY);
    if (*folder >= 0) return 0;
    // Without creation the whole path is enough; with it, find the first
    // missing folder and name the one in the way.
    if (!create || (errno != ENOENT && errno != ENOTDIR)) return errno;
  }
  Fd current;
  for (size_t i = 0; i < count; ++i) {
    const int base = current.valid() ? current.get() : fd_;
    int next = -1;
    int err = openStep(base, parts, i, &next);
    if (err == ENOENT && create) {
      err = mkdirat(base, parts[i].c_str(), 0777) == 0 || errno == EEXIST ? 0 : errno;
      if (err == 0) err = openStep(base, parts, i, &next);
    }
    if (err != 0) {
      *failedAt = i + 1;
      return err;
    }
    current = Fd(next);
  }
  *folder = current.valid() ? current.release() : fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  return *folder >= 0 ? 0 : errno;
}

Status OutputDir::parentFolder(const Parts& parts, bool create, int* folder, int* error) {
  const size_t count = parts.size() - 1;
  if (count == 0) {
    *folder = fd_;
    return Status::ok();
  }
  std::string key = join(parts, count);
  if (parentFd_ >= 0 && parentName_ == key) {
    *folder = parentFd_;
    return Status::ok();
  }
  forgetParent();
  size_t failedAt = 0;
  int fd = -1;
  if (int err = openFolder(parts, count, create, &fd, &failedAt); err != 0) {
    if (error != nullptr) *error = err;
    const std::string at = join(parts, failedAt);
    return resolveError((create ? "cannot create directory " : "cannot open directory ") + at, err,
                        at);
  }
  parentFd_ = *folder = fd;
  parentName_ = std::move(key);
  return Status::ok();
}

Status OutputDir::probe(std::string_view name, Presence* presence) {
  Parts parts;
  if (Status s = split(name, &parts); !s.isOk()) return s;
  if (parts.empty()) {
    *presence = Presence::kDirectory;
    return Status::ok();
  }
  int folder = -1;
  int err = 0;
  if (Status s = parentFolder(parts, false, &folder, &err); !s.isOk()) {
    if (err != ENOENT && err != ENOTDIR) return s;
    *presence = Presence::kAbsent;  // a parent missing, or a file where a parent should be
    return Status::ok();
  }
  struct stat st;
  if (fstatat(folder, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) {
      *presence = Presence::kAbsent;
      return Status::ok();
    }
    err = errno;
    forgetParent();
    return Status::fromErrno("cannot look up", err);
  }
  *presence = S_ISDIR(st.st_mode) ? Presence::kDirectory : Presence::kPresent;
  return Status::ok();
}

std::string OutputDir::temporaryName() {
  // Shared by every copy of the folder, so that threads never pick one name.
  static std::atomic<unsigned> temporaries{0};
  char name[64];
  std::snprintf(name, sizeof name, ".orvex-tmp-%d-%u", static_cast<int>(getpid()),
                temporaries.fetch_add(1));
  return name;
}

std::unique_ptr<OutputDir> OutputDir::clone() const {
  const int fd = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  std::unique_ptr<OutputDir> copy(new OutputDir(fd, path_, walk_, procFd_));
  copy->copyInKernel_ = copyInKernel_;
  return copy;
}

Status OutputDir::createFile(std::string_view name, bool replace, const Filler& fill) {
  Parts parts;
  if (Status s = split(name, &parts); !s.isOk()) return s;
  if (parts.empty()) return Status::invalid("no file name");
  int folder = -1;
  if (Status s = parentFolder(parts, true, &folder); !s.isOk()) return s;
  const std::string& leaf = parts.back();

  Status result;
  Fd file(procFd_ ? openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666) : -1);
  if (!file.valid() && procFd_ && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    result = Status::fromErrno("cannot create", errno);
  } else if (!file.valid()) {
    result = createNamed(folder, leaf, replace, fill);
  } else if (result = fill(file.get()); result.isOk()) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", file.get());
    // Linking under the final name is the one step that leaves nothing
    // behind if the process dies around it. Replacing an existing entry needs
    // a second name for the new file, so that only happens when one is there.
    int err = linkat(AT_FDCWD, self, folder, leaf.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    if (err != 0 && (err != EEXIST || !replace)) {
      result = err == EEXIST ? Status::exists("cannot create: File exists")
                             : Status::fromErrno("cannot create", err);
    } else if (err != 0) {
      std::string temp;
      for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
        temp = temporaryName();
        err = linkat(AT_FDCWD, self, folder, temp.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
      }
      if (err != 0) {
        result = Status::fromErrno("cannot create", err);
      } else if (renameat(folder, temp.c_str(), folder, leaf.c_str()) != 0) {
        result = Status::fromErrno("cannot write", errno);
        unlinkat(folder, temp.c_str(), 0);
      }
    }
  }
  if (!result.isOk() && result.code() != Status::Code::kExists) forgetParent();
  return result;
}

// For file systems without unnamed temporary files, or without /proc.
Status OutputDir::createNamed(int folder, const std::string& leaf, bool replace,
                              const Filler& fill) {
  std::string temp;
  Fd file;
  for (int attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
    temp = temporaryName();
    file = Fd(
        openat(folder, temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.valid() && errno != EEXIST) break;
  }
  if (!file.valid()) return Status::fromErrno("cannot create", errno);
  Status result = fill(file.get());
  file.reset();
  if (result.isOk() && replace) {
    if (renameat(folder, temp.c_str(), folder, leaf.c_str()) == 0) return Status::ok();
    result = Status::fromErrno("cannot write", errno);
  } else if (result.isOk() && linkat(folder, temp.c_str(), folder, leaf.c_str(), 0) != 0) {
    result = errno == EEXIST ? Status::exists("cannot create: File exists")
                             : Status::fromErrno("cannot create", errno);
  }
  unlinkat(folder, temp.c_str(), 0);
  return result;
}

Status OutputDir::writeNew(std::string_view name, const uint8_t* data, size_t length) {
  return createFile(name, false, [&](int fd) { return writeAll(fd, data, length); });
}

Status OutputDir::copyNew(std::string_view name, int sourceFd, uint64_t offset, uint64_t length) {
  return createFile(
      name, false, [&](int fd) { return copyRange(sourceFd, offset, length, fd, &copyInKernel_); });
}

Status OutputDir::writeReplacing(std::string_view name, const uint8_t* data, size_t length) {
  return createFile(name, true, [&](int fd) { return writeAll(fd, data, length); });
}

Status OutputDir::makeDirectories(std::string_view name) {
  Parts parts;
  if (Status s = split(name, &parts); !s.isOk()) return s;
  if (parts.empty()) return Status::ok();
  // Resolving a child of the new folder makes it, and leaves it cached for
  // the files that go into it next.
  parts.emplace_back(".");
  int folder = -1;
  return parentFolder(parts, true, &folder);
}

Status OutputDir::readFile(std::string_view name, std::vector<uint8_t>* bytes) {
  Parts parts;
  if (Status s = split(name, &parts); !s.isOk()) return s;
  if (parts.empty()) return Status::invalid("not a regular file");
  Fd file;
  if (!walk_) {
    file = Fd(openBeneath(fd_, join(parts, parts.size()), O_RDONLY | O_NONBLOCK));
  } else {
    int folder = -1;
    int err = 0;
    if (Status s = parentFolder(parts, false, &folder, &err); !s.isOk()) {
      if (err != ENOENT && err != ENOTDIR) return s;
      return Status::notFound("cannot read: No such file or directory");
    }
    file = Fd(openat(folder, parts.back().c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid() && errno == ELOOP)
      return Status::unsafe("passes through a link at " + join(parts, parts.size()));
  }
  if (!file.valid()) {
    if (errno == ENOENT || errno == ENOTDIR)
      return Status::notFound("cannot read: No such file or directory");
    return resolveError("cannot read", errno, join(parts, parts.size()));
  }
  struct stat st;
  if (fstat(file.get(), &st) != 0) return Status::fromErrno("cannot read", errno);
  if (!S_ISREG(st.st_mode)) return Status::invalid("not a regular file");
  bytes->clear();
  uint8_t buffer[1 << 14];
  for (;;) {
    const ssize_t got = read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Status::fromErrno("cannot read", errno);
    }
    if (got == 0) return Status::ok();
    bytes->insert(bytes->end(), buffer, buffer + got);
  }
}

}  // namespace orvex
