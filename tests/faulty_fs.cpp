#include "faulty_fs.h"

#include <cerrno>

namespace orvex::testing {

using io::File;
using io::Folder;

void FaultyFs::failNth(Op op, uint64_t n, int error) {
  failOp_ = op;
  failAt_ = n;
  error_ = error;
}

Status FaultyFs::fault(Op op) {
  const uint64_t n = ++calls_[static_cast<int>(op)];
  if (op != failOp_ || n != failAt_) return Status::ok();
  ++fired_;
  return Status::fromErrno(error_);
}

// Every other data call is interrupted, so that each one is retried once.
bool FaultyFs::interrupted() { return interrupt_ && interruptions_++ % 2 == 0; }

Status FaultyFs::openFile(const Folder& at, const std::string& path, io::FileIntent intent,
                          io::Follow follow, File* file) {
  const Op op = intent == io::FileIntent::kCreateNew ? Op::kCreate
                : intent == io::FileIntent::kWrite   ? Op::kCount
                                                     : Op::kRead;
  if (op != Op::kCount)
    if (Status s = fault(op); !s.isOk()) return s;
  return FsWrapper::openFile(at, path, intent, follow, file);
}

Status FaultyFs::openFileBeneath(const Folder& root, const std::string& path, io::FileIntent intent,
                                 File* file) {
  if (intent != io::FileIntent::kWrite)
    if (Status s = fault(intent == io::FileIntent::kCreateNew ? Op::kCreate : Op::kRead); !s.isOk())
      return s;
  return FsWrapper::openFileBeneath(root, path, intent, file);
}

Status FaultyFs::createUnnamed(const Folder& at, File* file) {
  if (noTmpfile_) return Status::fromErrno(EOPNOTSUPP);
  if (Status s = fault(Op::kCreate); !s.isOk()) return s;
  return FsWrapper::createUnnamed(at, file);
}

Status FaultyFs::linkUnnamed(const File& file, const Folder& at, const std::string& name) {
  if (Status s = fault(Op::kName); !s.isOk()) return s;
  return FsWrapper::linkUnnamed(file, at, name);
}

Status FaultyFs::read(const File& file, void* into, size_t length, size_t* done) {
  *done = 0;
  if (interrupted()) return Status::fromErrno(EINTR);
  if (Status s = fault(Op::kRead); !s.isOk()) return s;
  return FsWrapper::read(file, into, most(length), done);
}

Status FaultyFs::readAt(const File& file, void* into, size_t length, uint64_t offset,
                        size_t* done) {
  *done = 0;
  if (interrupted()) return Status::fromErrno(EINTR);
  if (Status s = fault(Op::kRead); !s.isOk()) return s;
  return FsWrapper::readAt(file, into, most(length), offset, done);
}

Status FaultyFs::write(const File& file, const void* data, size_t length, size_t* done) {
  *done = 0;
  if (interrupted()) return Status::fromErrno(EINTR);
  if (Status s = fault(Op::kWrite); !s.isOk()) return s;
  return FsWrapper::write(file, data, most(length), done);
}

Status FaultyFs::writeAt(const File& file, const void* data, size_t length, uint64_t offset,
                         size_t* done) {
  *done = 0;
  if (interrupted()) return Status::fromErrno(EINTR);
  if (Status s = fault(Op::kWrite); !s.isOk()) return s;
  return FsWrapper::writeAt(file, data, most(length), offset, done);
}

Status FaultyFs::copyRange(const File& from, uint64_t* fromOffset, const File& to, size_t length,
                           size_t* done) {
  *done = 0;
  if (interrupted()) return Status::fromErrno(EINTR);
  if (Status s = fault(Op::kWrite); !s.isOk()) return s;
  return FsWrapper::copyRange(from, fromOffset, to, most(length), done);
}

Status FaultyFs::sendFile(const File& from, uint64_t* fromOffset, const File& to, size_t length,
                          size_t* done) {
  *done = 0;
  if (interrupted()) return Status::fromErrno(EINTR);
  if (Status s = fault(Op::kWrite); !s.isOk()) return s;
  return FsWrapper::sendFile(from, fromOffset, to, most(length), done);
}

Status FaultyFs::makeFolder(const Folder& at, const std::string& path, uint32_t permissions) {
  if (Status s = fault(Op::kCreate); !s.isOk()) return s;
  return FsWrapper::makeFolder(at, path, permissions);
}

Status FaultyFs::renameNoReplace(const Folder& fromAt, const std::string& from, const Folder& toAt,
                      const std::string& to) {
  if (Status s = fault(Op::kName); !s.isOk()) return s;
  return FsWrapper::renameNoReplace(fromAt, from, toAt, to);
}

Status FaultyFs::rename(const Folder& fromAt, const std::string& from, const Folder& toAt,
                        const std::string& to) {
  if (Status s = fault(Op::kName); !s.isOk()) return s;
  return FsWrapper::rename(fromAt, from, toAt, to);
}

Status FaultyFs::sync(const io::Handle& handle) {
  if (Status s = fault(Op::kSync); !s.isOk()) return s;
  return FsWrapper::sync(handle);
}

}  // namespace orvex::testing
