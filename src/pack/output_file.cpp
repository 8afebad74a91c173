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

bool OutputFile::fail(std::string* error, const char* what) {
  *error = path_ + ": " + what + ": " + std::strerror(errno);
  return false;
}

bool OutputFile::create(const std::string& path, std::string* error) {
  path_ = path;
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp =
        dir + "." + base + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
    fd_ = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temp_ = temp;
      return true;
    }
    if (errno != EEXIST) break;
  }
  return fail(error, "cannot create a temporary file beside it");
}

bool OutputFile::write(const uint8_t* data, size_t length, std::string* error) {
  while (length > 0) {
    const ssize_t done = ::write(fd_, data, length);
    if (done < 0) {
      if (errno == EINTR) continue;
      return fail(error, "cannot write");
    }
    data += done;
    length -= static_cast<size_t>(done);
  }
  return true;
}

bool OutputFile::finish(std::string* error) {
  if (fsync(fd_) != 0) return fail(error, "cannot write");
  const int fd = fd_;
  fd_ = -1;
  return close(fd) == 0 || fail(error, "cannot write");
}

bool OutputFile::commit(std::string* error) {
  if (rename(temp_.c_str(), path_.c_str()) != 0) return fail(error, "cannot rename into place");
  temp_.clear();
  return true;
}

}  // namespace orvex
