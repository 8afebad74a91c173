// Test support: a file system that forwards every call to another and fails
// on cue, so that what a command does when a write fails, is cut short or is
// interrupted can be checked at every write of a run, in memory and in
// milliseconds.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "fs.h"

namespace orvex::testing {

class FaultyFs : public io::FsWrapper {
 public:
  // The kinds of calls a fault can be planted in.
  enum class Op {
    kWrite,   // write, writeAt, copyRange, sendFile: whatever puts bytes in a file
    kCreate,  // a new file (named or not), a new folder
    kName,    // renameNoReplace, linkUnnamed, rename
    kSync,
    kRead,  // opening a file to read, read, readAt
    kCount
  };

  explicit FaultyFs(io::Fs& base = io::realFs()) : FsWrapper(base) {}

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

  Status openFile(const io::Folder& at, const std::string& path, io::FileIntent intent,
                  io::Follow follow, io::File* file) override;
  Status openFileBeneath(const io::Folder& root, const std::string& path, io::FileIntent intent,
                         io::File* file) override;
  Status createUnnamed(const io::Folder& at, io::File* file) override;
  Status linkUnnamed(const io::File& file, const io::Folder& at, const std::string& name) override;
  Status read(const io::File& file, void* into, size_t length, size_t* done) override;
  Status readAt(const io::File& file, void* into, size_t length, uint64_t offset,
                size_t* done) override;
  Status write(const io::File& file, const void* data, size_t length, size_t* done) override;
  Status writeAt(const io::File& file, const void* data, size_t length, uint64_t offset,
                 size_t* done) override;
  Status copyRange(const io::File& from, uint64_t* fromOffset, const io::File& to, size_t length,
                   size_t* done) override;
  Status sendFile(const io::File& from, uint64_t* fromOffset, const io::File& to, size_t length,
                  size_t* done) override;
  Status makeFolder(const io::Folder& at, const std::string& path, uint32_t permissions) override;
  Status renameNoReplace(const io::Folder& fromAt, const std::string& from, const io::Folder& toAt,
              const std::string& to) override;
  Status rename(const io::Folder& fromAt, const std::string& from, const io::Folder& toAt,
                const std::string& to) override;
  Status sync(const io::Handle& handle) override;

 private:
  // Success to go on, else the failure the call returns.
  Status fault(Op op);
  bool interrupted();
  size_t most(size_t length) const { return most_ ? std::min(length, most_) : length; }

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
