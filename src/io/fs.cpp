#include "fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#ifdef ORVEX_LINUX
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstring>

namespace orvex::io {
namespace {

template <typename T>
T result(T value) {
  return value < 0 ? static_cast<T>(-errno) : value;
}

}  // namespace

int Fs::open(int dir, const char* path, int flags, mode_t mode) {
  return result(::openat(dir, path, flags | O_CLOEXEC, mode));
}

ssize_t Fs::read(int fd, void* into, size_t length) { return result(::read(fd, into, length)); }

ssize_t Fs::pread(int fd, void* into, size_t length, uint64_t offset) {
  return result(::pread(fd, into, length, static_cast<off_t>(offset)));
}

ssize_t Fs::write(int fd, const void* data, size_t length) {
  return result(::write(fd, data, length));
}

ssize_t Fs::pwrite(int fd, const void* data, size_t length, uint64_t offset) {
  return result(::pwrite(fd, data, length, static_cast<off_t>(offset)));
}

#ifdef ORVEX_LINUX
int Fs::openBeneath(int dir, const char* path, int flags, mode_t mode) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = mode;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(result(syscall(SYS_openat2, dir, path, &how, sizeof how)));
}

ssize_t Fs::copyRange(int from, uint64_t* fromOffset, int to, size_t length) {
  loff_t at = static_cast<loff_t>(*fromOffset);
  const ssize_t copied = result(copy_file_range(from, &at, to, nullptr, length, 0));
  *fromOffset = static_cast<uint64_t>(at);
  return copied;
}

ssize_t Fs::sendFile(int to, int from, uint64_t* fromOffset, size_t length) {
  off_t at = static_cast<off_t>(*fromOffset);
  const ssize_t sent = result(::sendfile(to, from, &at, length));
  *fromOffset = static_cast<uint64_t>(at);
  return sent;
}

int Fs::cloneFile(int to, int from) { return result(ioctl(to, FICLONE, from)); }
#else
// Without the kernel's calls, names are resolved by the walk and bytes are
// copied by reading and writing: the callers fall back on these errors.
int Fs::openBeneath(int, const char*, int, mode_t) { return -ENOSYS; }
ssize_t Fs::copyRange(int, uint64_t*, int, size_t) { return -ENOSYS; }
ssize_t Fs::sendFile(int, int, uint64_t*, size_t) { return -ENOSYS; }
int Fs::cloneFile(int, int) { return -EOPNOTSUPP; }
#endif

int Fs::stat(int dir, const char* path, struct stat* st, int flags) {
  return result(::fstatat(dir, path, st, flags));
}

int Fs::fstat(int fd, struct stat* st) { return result(::fstat(fd, st)); }

int64_t Fs::seekEnd(int fd) { return result(static_cast<int64_t>(::lseek(fd, 0, SEEK_END))); }

int Fs::mkdir(int dir, const char* path, mode_t mode) { return result(::mkdirat(dir, path, mode)); }

int Fs::link(int fromDir, const char* from, int toDir, const char* to, int flags) {
  return result(::linkat(fromDir, from, toDir, to, flags));
}

int Fs::rename(int fromDir, const char* from, int toDir, const char* to) {
  return result(::renameat(fromDir, from, toDir, to));
}

int Fs::unlink(int dir, const char* path, int flags) {
  return result(::unlinkat(dir, path, flags));
}

int Fs::sync(int fd) { return result(::fsync(fd)); }

int Fs::truncate(int fd, uint64_t length) {
  return result(::ftruncate(fd, static_cast<off_t>(length)));
}

int Fs::chmod(int fd, mode_t mode) { return result(::fchmod(fd, mode)); }

int Fs::readLink(int dir, const char* path, std::string* target) {
  char buffer[4096];
  const ssize_t n = ::readlinkat(dir, path, buffer, sizeof buffer);
  if (n < 0) return -errno;
  if (static_cast<size_t>(n) == sizeof buffer) return -ENAMETOOLONG;
  target->assign(buffer, static_cast<size_t>(n));
  return 0;
}

int Fs::lock(int fd, int operation) { return result(::flock(fd, operation)); }

int Fs::listNames(int dir, std::vector<std::string>* names) {
  names->clear();
  // readdir() takes the descriptor for its own; it gets a copy.
  const int copy = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return -errno;
  DIR* stream = fdopendir(copy);
  if (stream == nullptr) {
    const int err = errno;
    ::close(copy);
    return -err;
  }
  errno = 0;
  while (const dirent* entry = readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names->emplace_back(entry->d_name);
    errno = 0;
  }
  const int err = errno;
  closedir(stream);
  return -err;
}

Fs& realFs() {
  static Fs fs;
  return fs;
}

}  // namespace orvex::io
