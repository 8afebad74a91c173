// Test support: a file system that forwards every call to another and fails
// on cue, so that what a command does when a write fails, is cut short or is
// interrupted can be checked at every write of a run, in memory and in
// milliseconds.
#pragma once

#include <atomic>
#include <cstdint>

#include "fs.h"

namespace orvex::testing {

class FaultyFs : public io::Fs {
 public:
  // The kinds of calls a fault can be planted in.
  enum class Op {
    kWrite,   // write, pwrite, copy_file_range, sendfile: whatever puts bytes in a file
    kCreate,  // open with O_CREAT or O_TMPFILE, mkdir
    kName,    // link, rename
    kSync,
    kCount
  };

  explicit FaultyFs(io::Fs& base = io::realFs()) : base_(base) {}

  // The nth call of op (counting from 1) fails with error; the ones before
  // and after it go through.
  void failNth(Op op, uint64_t n, int error);
  // Every write moves at most most bytes.
  void shortenWrites(size_t most) { most_ = most; }
  // Every data call is interrupted once (EINTR) before it goes through.
  void interrupt(bool on) { interrupt_ = on; }
  // Unnamed temporary files are refused, as file systems without them do.
  void refuseUnnamedTemporaries(bool on) { noTmpfile_ = on; }

  uint64_t calls(Op op) const { return calls_[static_cast<int>(op)]; }
  // How many planted faults fired.
  uint64_t fired() const { return fired_; }

  int open(int dir, const char* path, int flags, mode_t mode) override;
  int openBeneath(int dir, const char* path, int flags, mode_t mode) override;
  ssize_t read(int fd, void* into, size_t length) override;
  ssize_t pread(int fd, void* into, size_t length, uint64_t offset) override;
  ssize_t write(int fd, const void* data, size_t length) override;
  ssize_t pwrite(int fd, const void* data, size_t length, uint64_t offset) override;
  ssize_t copyRange(int from, uint64_t* fromOffset, int to, size_t length) override;
  ssize_t sendFile(int to, int from, uint64_t* fromOffset, size_t length) override;
  int mkdir(int dir, const char* path, mode_t mode) override;
  int link(int fromDir, const char* from, int toDir, const char* to, int flags) override;
  int rename(int fromDir, const char* from, int toDir, const char* to) override;
  int sync(int fd) override;

 private:
  // 0 to go on, else the negative error the call returns.
  int fault(Op op);
  bool interrupted();

  io::Fs& base_;
  Op failOp_ = Op::kCount;
  uint64_t failAt_ = 0;
  int error_ = 0;
  size_t most_ = 0;
  bool interrupt_ = false;
  bool noTmpfile_ = false;
  std::atomic<uint64_t> calls_[static_cast<int>(Op::kCount)] = {};
  std::atomic<uint64_t> fired_{0};
  std::atomic<uint64_t> interruptions_{0};
};

}  // namespace orvex::testing
