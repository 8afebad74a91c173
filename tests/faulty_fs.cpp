#include "faulty_fs.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

namespace orvex::testing {

void FaultyFs::failNth(Op op, uint64_t n, int error) {
  failOp_ = op;
  failAt_ = n;
  error_ = error;
}

int FaultyFs::fault(Op op) {
  const uint64_t n = ++calls_[static_cast<int>(op)];
  if (op != failOp_ || n != failAt_) return 0;
  ++fired_;
  return -error_;
}

// Every other data call is interrupted, so that each one is retried once.
bool FaultyFs::interrupted() { return interrupt_ && interruptions_++ % 2 == 0; }

int FaultyFs::open(int dir, const char* path, int flags, mode_t mode) {
  if (noTmpfile_ && (flags & O_TMPFILE) == O_TMPFILE) return -EOPNOTSUPP;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
    if (const int err = fault(Op::kCreate)) return err;
  return base_.open(dir, path, flags, mode);
}

int FaultyFs::openBeneath(int dir, const char* path, int flags, mode_t mode) {
  return base_.openBeneath(dir, path, flags, mode);
}

ssize_t FaultyFs::read(int fd, void* into, size_t length) {
  if (interrupted()) return -EINTR;
  return base_.read(fd, into, most_ ? std::min(length, most_) : length);
}

ssize_t FaultyFs::pread(int fd, void* into, size_t length, uint64_t offset) {
  if (interrupted()) return -EINTR;
  return base_.pread(fd, into, most_ ? std::min(length, most_) : length, offset);
}

ssize_t FaultyFs::write(int fd, const void* data, size_t length) {
  if (interrupted()) return -EINTR;
  if (const int err = fault(Op::kWrite)) return err;
  return base_.write(fd, data, most_ ? std::min(length, most_) : length);
}

ssize_t FaultyFs::pwrite(int fd, const void* data, size_t length, uint64_t offset) {
  if (interrupted()) return -EINTR;
  if (const int err = fault(Op::kWrite)) return err;
  return base_.pwrite(fd, data, most_ ? std::min(length, most_) : length, offset);
}

ssize_t FaultyFs::copyRange(int from, uint64_t* fromOffset, int to, size_t length) {
  if (interrupted()) return -EINTR;
  if (const int err = fault(Op::kWrite)) return err;
  return base_.copyRange(from, fromOffset, to, most_ ? std::min(length, most_) : length);
}

ssize_t FaultyFs::sendFile(int to, int from, uint64_t* fromOffset, size_t length) {
  if (interrupted()) return -EINTR;
  if (const int err = fault(Op::kWrite)) return err;
  return base_.sendFile(to, from, fromOffset, most_ ? std::min(length, most_) : length);
}

int FaultyFs::mkdir(int dir, const char* path, mode_t mode) {
  if (const int err = fault(Op::kCreate)) return err;
  return base_.mkdir(dir, path, mode);
}

int FaultyFs::link(int fromDir, const char* from, int toDir, const char* to, int flags) {
  if (const int err = fault(Op::kName)) return err;
  return base_.link(fromDir, from, toDir, to, flags);
}

int FaultyFs::rename(int fromDir, const char* from, int toDir, const char* to) {
  if (const int err = fault(Op::kName)) return err;
  return base_.rename(fromDir, from, toDir, to);
}

int FaultyFs::sync(int fd) {
  if (const int err = fault(Op::kSync)) return err;
  return base_.sync(fd);
}

}  // namespace orvex::testing
