#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orvex {
namespace {

std::string parentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string errorText(int err) { return std::strerror(err); }

// Fills an open output file with its contents.
using Filler = std::function<bool(int fd, std::string* error)>;

bool writeAll(int fd, const uint8_t* data, size_t length, std::string* error) {
  while (length > 0) {
    const ssize_t put = write(fd, data, length);
    if (put < 0) {
      if (errno == EINTR) continue;
      *error = "cannot write: " + errorText(errno);
      return false;
    }
    data += put;
    length -= static_cast<size_t>(put);
  }
  return true;
}

// A name for a temporary file in dir that no other writer uses.
std::string temporaryName(const std::string& dir) {
  static std::atomic<unsigned> counter{0};
  char name[64];
  std::snprintf(name, sizeof name, "/.orvex-tmp-%d-%u", static_cast<int>(getpid()),
                counter.fetch_add(1));
  return dir + name;
}

// Named temporary file, then rename: for file systems without unnamed ones.
bool writeViaNamedTemporary(const std::string& dir, const std::string& path, const Filler& fill,
                            Existing existing, std::string* error) {
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = temporaryName(dir);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = "cannot create: " + errorText(errno);
    return false;
  }
  bool ok = fill(fd, error);
  if (close(fd) != 0 && ok) {
    *error = "cannot write: " + errorText(errno);
    ok = false;
  }
  if (ok && existing == Existing::kReplace && rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot create: " + errorText(errno);
    ok = false;
  }
  if (ok && existing == Existing::kKeep) {
    // link() refuses an existing name, where rename() would replace it.
    if (link(temp.c_str(), path.c_str()) != 0) {
      *error = errno == EEXIST ? "already exists" : "cannot create: " + errorText(errno);
      ok = false;
    }
    unlink(temp.c_str());
    return ok;
  }
  if (!ok) unlink(temp.c_str());
  return ok;
}

// Links a complete unnamed file into place. A file already at path is
// replaced through a short-lived named link and a rename.
bool linkIntoPlace(int fd, const std::string& dir, const std::string& path, Existing existing,
                   std::string* error) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno != EEXIST) {
    *error = "cannot create: " + errorText(errno);
    return false;
  }
  if (existing == Existing::kKeep) {
    *error = "already exists";
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = temporaryName(dir);
    if (linkat(AT_FDCWD, self, AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      if (errno == EEXIST) continue;
      break;
    }
    if (rename(temp.c_str(), path.c_str()) == 0) return true;
    const int err = errno;
    unlink(temp.c_str());
    *error = "cannot replace: " + errorText(err);
    return false;
  }
  *error = "cannot create: " + errorText(errno);
  return false;
}

// Unnamed files are linked into place through /proc; without it they cannot be.
bool procFdAvailable() {
  static const bool available = access("/proc/self/fd", X_OK) == 0;
  return available;
}

}  // namespace

bool fileExists(const std::string& path) {
  return faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0;
}

bool makeDirectories(const std::string& path, std::string* error) {
  for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      *error = "cannot create directory " + prefix + ": " + errorText(errno);
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

namespace {

bool writeAtomic(const std::string& path, const Filler& fill, Existing existing,
                 std::string* error) {
  const std::string dir = parentOf(path);
  const int flags = procFdAvailable() ? O_TMPFILE | O_WRONLY | O_CLOEXEC : O_PATH | O_DIRECTORY;
  int fd = open(dir.c_str(), flags, 0666);
  if (fd < 0 && errno == ENOENT) {
    if (!makeDirectories(dir, error)) return false;
    fd = open(dir.c_str(), flags, 0666);
  }
  if (fd >= 0 && !procFdAvailable()) {
    close(fd);
    return writeViaNamedTemporary(dir, path, fill, existing, error);
  }
  if (fd < 0) {
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
      return writeViaNamedTemporary(dir, path, fill, existing, error);
    *error = "cannot create: " + errorText(errno);
    return false;
  }
  const bool ok = fill(fd, error) && linkIntoPlace(fd, dir, path, existing, error);
  close(fd);
  return ok;
}

// Copies length bytes from sourceFd at offset to the end of fd.
bool copyRange(int sourceFd, uint64_t offset, uint64_t length, int fd, std::string* error) {
  auto from = static_cast<loff_t>(offset);
  while (length > 0) {
    const ssize_t moved = copy_file_range(sourceFd, &from, fd, nullptr, length, 0);
    if (moved > 0) {
      length -= static_cast<uint64_t>(moved);
      continue;
    }
    if (moved < 0 && errno == EINTR) continue;
    if (moved == 0) {
      *error = "cannot read the image: it ends early";
      return false;
    }
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
      *error = "cannot write: " + errorText(errno);
      return false;
    }
    // No in-kernel copy between these files: go through a buffer.
    std::vector<uint8_t> buffer(std::min<uint64_t>(length, 1 << 20));
    while (length > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
      const ssize_t got = pread(sourceFd, buffer.data(), want, from);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        *error = got < 0 ? "cannot read the image: " + errorText(errno)
                         : "cannot read the image: it ends early";
        return false;
      }
      if (!writeAll(fd, buffer.data(), static_cast<size_t>(got), error)) return false;
      from += got;
      length -= static_cast<uint64_t>(got);
    }
  }
  return true;
}

}  // namespace

bool writeFileAtomic(const std::string& path, const uint8_t* data, size_t length,
                     std::string* error, Existing existing) {
  return writeAtomic(
      path, [&](int fd, std::string* err) { return writeAll(fd, data, length, err); }, existing,
      error);
}

bool copyFileAtomic(const std::string& path, int sourceFd, uint64_t offset, uint64_t length,
                    std::string* error, Existing existing) {
  return writeAtomic(
      path, [&](int fd, std::string* err) { return copyRange(sourceFd, offset, length, fd, err); },
      existing, error);
}

ReadLocal readLocalFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? ReadLocal::kMissing : ReadLocal::kError;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ReadLocal::kNotAFile;
  }
  bytes->resize(static_cast<size_t>(st.st_size));
  size_t have = 0;
  while (have < bytes->size()) {
    const ssize_t got = read(fd, bytes->data() + have, bytes->size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = "cannot read: " + errorText(errno);
      close(fd);
      return ReadLocal::kError;
    }
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  bytes->resize(have);
  close(fd);
  return ReadLocal::kOk;
}

}  // namespace orvex
