#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orvex {

OutputFile::~OutputFile() {
  if (fd_ >= 0) close(fd_);
  if (!temp_.empty()) unlink(temp_.c_str());
}

Status OutputFile::fail(const char* what) const {
  return Status::fromErrno(path_ + ": " + what, errno);
}

Status OutputFile::create(const std::string& path) {
  path_ = path;
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp =
        dir + "." + base + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
    fd_ = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temp_ = temp;
      return Status::ok();
    }
    if (errno != EEXIST) break;
  }
  return fail("cannot create a temporary file beside it");
}

Status OutputFile::write(const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t done = ::write(fd_, data, length);
    if (done < 0) {
      if (errno == EINTR) continue;
      return fail("cannot write");
    }
    data += done;
    length -= static_cast<size_t>(done);
  }
  return Status::ok();
}

Status OutputFile::finish() {
  if (fsync(fd_) != 0) return fail("cannot write");
  const int fd = fd_;
  fd_ = -1;
  return close(fd) == 0 ? Status::ok() : fail("cannot write");
}

Status OutputFile::commit() {
  if (rename(temp_.c_str(), path_.c_str()) != 0) return fail("cannot rename into place");
  temp_.clear();
  const size_t slash = path_.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status::fromErrno(folder + ": cannot sync", errno);
  const bool synced = fsync(fd) == 0;
  const int err = errno;
  close(fd);
  return synced ? Status::ok() : Status::fromErrno(folder + ": cannot sync", err);
}

}  // namespace orvex
