#include "file_io.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

namespace orvex::io {
namespace {

constexpr size_t kChunk = 1 << 20;

// The kernel does not copy this way between these two files.
bool refused(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF;
}

Status endedEarly() { return Status::damaged("cannot read the image: it ends early"); }

}  // namespace

namespace {

// Moves length bytes through transfer(at, count), which moves up to count
// bytes at position at of the request and returns how many, 0 at the end of
// the source, or a negative error; *done gets how many moved.
template <typename Transfer>
Status moveAll(size_t length, size_t* done, const char* what, Transfer transfer) {
  *done = 0;
  while (*done < length) {
    const ssize_t n = transfer(*done, length - *done);
    if (n == -EINTR) continue;
    if (n < 0) return Status::fromErrno(what, static_cast<int>(-n));
    if (n == 0) break;
    *done += static_cast<size_t>(n);
  }
  return Status::ok();
}

}  // namespace

Status readAt(Fs& fs, int fd, uint8_t* into, size_t length, uint64_t offset, size_t* got) {
  return moveAll(length, got, "cannot read",
                 [&](size_t at, size_t n) { return fs.pread(fd, into + at, n, offset + at); });
}

Status readFull(Fs& fs, int fd, uint8_t* into, size_t length, size_t* got) {
  return moveAll(length, got, "cannot read",
                 [&](size_t at, size_t n) { return fs.read(fd, into + at, n); });
}

Status readUpTo(Fs& fs, int fd, uint64_t limit, std::vector<uint8_t>* bytes, bool* more) {
  bytes->clear();
  *more = false;
  uint8_t spill[1] = {};
  for (;;) {
    const bool full = bytes->size() >= limit;
    if (!full && bytes->capacity() == bytes->size())
      bytes->reserve(static_cast<size_t>(
          std::min<uint64_t>(limit, std::max<size_t>(bytes->size() * 2, size_t{1} << 16))));
    const size_t have = bytes->size();
    const size_t room =
        full ? sizeof spill
             : static_cast<size_t>(std::min<uint64_t>(limit - have, bytes->capacity() - have));
    if (!full) bytes->resize(have + room);
    const ssize_t n = fs.read(fd, full ? spill : bytes->data() + have, room);
    if (!full) bytes->resize(have + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n == -EINTR) continue;
    if (n < 0) return Status::fromErrno("cannot read", static_cast<int>(-n));
    if (n == 0) return Status::ok();
    if (full) {
      *more = true;
      return Status::ok();
    }
  }
}

Status writeAll(Fs& fs, int fd, const uint8_t* data, size_t length) {
  size_t done = 0;
  // A write that moves nothing would be tried for ever: it counts as failed.
  return moveAll(length, &done, "cannot write", [&](size_t at, size_t n) {
    const ssize_t put = fs.write(fd, data + at, n);
    return put == 0 ? -EIO : put;
  });
}

Status writeAllAt(Fs& fs, int fd, const uint8_t* data, size_t length, uint64_t offset) {
  size_t done = 0;
  return moveAll(length, &done, "cannot write", [&](size_t at, size_t n) {
    const ssize_t put = fs.pwrite(fd, data + at, n, offset + at);
    return put == 0 ? -EIO : put;
  });
}

Status writeZerosAt(Fs& fs, int fd, uint64_t length, uint64_t offset) {
  static const std::vector<uint8_t> zeros(kChunk, 0);
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kChunk));
    if (Status s = writeAllAt(fs, fd, zeros.data(), n, offset); !s.isOk()) return s;
    length -= n;
    offset += n;
  }
  return Status::ok();
}

Status Copier::copy(int from, uint64_t offset, uint64_t length, int to) {
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      length > static_cast<uint64_t>(INT64_MAX) - offset)
    return Status::invalid("a source range beyond any file");
  while (length > 0 && copyRange_) {
    const ssize_t n = fs_.copyRange(from, &offset, to, std::min<uint64_t>(length, 1 << 30));
    if (n == -EINTR) continue;
    if (n < 0 && refused(static_cast<int>(-n))) {
      copyRange_ = false;
      break;
    }
    if (n < 0) return Status::fromErrno("cannot copy", static_cast<int>(-n));
    if (n == 0) return endedEarly();
    length -= static_cast<uint64_t>(n);
  }
  while (length > 0 && sendFile_) {
    const ssize_t n = fs_.sendFile(to, from, &offset, std::min<uint64_t>(length, 1 << 30));
    if (n == -EINTR) continue;
    if (n < 0 && refused(static_cast<int>(-n))) {
      sendFile_ = false;
      break;
    }
    if (n < 0) return Status::fromErrno("cannot copy", static_cast<int>(-n));
    if (n == 0) return endedEarly();
    length -= static_cast<uint64_t>(n);
  }
  return copyThroughBuffer(from, offset, length, to);
}

Status Copier::copyThroughBuffer(int from, uint64_t offset, uint64_t length, int to) {
  if (length == 0) return Status::ok();
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(length, kChunk)));
  while (length > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
    size_t got = 0;
    const Status read = readAt(fs_, from, buffer.data(), want, offset, &got);
    if (!read.isOk()) return Status::fromErrno("cannot read the image", read.osError());
    if (got == 0) return endedEarly();
    if (Status s = writeAll(fs_, to, buffer.data(), got); !s.isOk()) return s;
    offset += got;
    length -= got;
  }
  return Status::ok();
}

Status Copier::copyWhole(int from, uint64_t length, int to) {
  struct stat st;
  if (fs_.cloneFile(to, from) == 0 && fs_.fstat(to, &st) == 0 &&
      static_cast<uint64_t>(st.st_size) >= length) {
    if (static_cast<uint64_t>(st.st_size) == length) return Status::ok();
    const int cut = fs_.truncate(to, length);
    return cut == 0 ? Status::ok() : Status::fromErrno("cannot write", -cut);
  }
  // Nothing of a failed clone stays.
  if (const int cut = fs_.truncate(to, 0); cut != 0) return Status::fromErrno("cannot write", -cut);
  return copy(from, 0, length, to);
}

Status openUserFile(Fs& fs, const std::string& path, Fd* file) {
  const int fd = fs.open(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd == -ENOENT) return Status::notFound("no such file");
  if (fd < 0) return Status::fromErrno("cannot open", -fd);
  file->reset(fd);
  return Status::ok();
}

Status readRegularFile(Fs& fs, int fd, std::vector<uint8_t>* bytes) {
  bytes->clear();
  struct stat st;
  if (const int err = fs.fstat(fd, &st); err != 0) return Status::fromErrno("cannot read", -err);
  if (!S_ISREG(st.st_mode)) return Status::invalid("not a regular file");
  // The size is a hint: a file that grows meanwhile is read to its end.
  bytes->reserve(static_cast<size_t>(st.st_size) + 1);
  bool more = false;
  return readUpTo(fs, fd, UINT64_MAX, bytes, &more);
}

Status readUserFile(Fs& fs, const std::string& path, std::vector<uint8_t>* bytes) {
  bytes->clear();
  Fd file;
  if (Status s = openUserFile(fs, path, &file); !s.isOk()) return s;
  return readRegularFile(fs, file.get(), bytes);
}

Status listFolder(Fs& fs, int dir, std::vector<FolderEntry>* entries) {
  entries->clear();
  std::vector<std::string> names;
  if (const int err = fs.listNames(dir, &names); err != 0)
    return Status::fromErrno("cannot list", -err);
  std::sort(names.begin(), names.end());
  for (std::string& name : names) {
    FolderEntry entry{std::move(name), {}};
    const int err = fs.stat(dir, entry.name.c_str(), &entry.st, AT_SYMLINK_NOFOLLOW);
    if (err == -ENOENT) continue;  // removed since it was listed
    if (err != 0) return Status::fromErrno(entry.name + ": cannot look up", -err);
    entries->push_back(std::move(entry));
  }
  return Status::ok();
}

}  // namespace orvex::io
