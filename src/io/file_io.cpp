#include "file_io.h"

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

// Moves length bytes through transfer(at, count, &moved), which moves up to
// count bytes at position at of the request; 0 moved is the end of the
// source. *done gets how many moved.
template <typename Transfer>
Status moveAll(size_t length, size_t* done, const char* what, Transfer transfer) {
  *done = 0;
  while (*done < length) {
    size_t n = 0;
    const Status status = transfer(*done, length - *done, &n);
    if (status.osError() == EINTR) continue;
    if (!status.isOk()) return status.context(what);
    if (n == 0) break;
    *done += n;
  }
  return Status::ok();
}

// A write that moves nothing would be tried for ever: it counts as failed.
Status wroteSomething(Status status, const size_t* put) {
  return status.isOk() && *put == 0 ? Status::fromErrno(EIO) : status;
}

}  // namespace

Status readAt(Fs& fs, const File& file, uint8_t* into, size_t length, uint64_t offset,
              size_t* got) {
  return moveAll(length, got, "cannot read", [&](size_t at, size_t n, size_t* moved) {
    return fs.readAt(file, into + at, n, offset + at, moved);
  });
}

Status readFull(Fs& fs, const File& file, uint8_t* into, size_t length, size_t* got) {
  return moveAll(length, got, "cannot read", [&](size_t at, size_t n, size_t* moved) {
    return fs.read(file, into + at, n, moved);
  });
}

Status readUpTo(Fs& fs, const File& file, uint64_t limit, std::vector<uint8_t>* bytes, bool* more) {
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
    size_t n = 0;
    const Status status = fs.read(file, full ? spill : bytes->data() + have, room, &n);
    if (!full) bytes->resize(have + n);
    if (status.osError() == EINTR) continue;
    if (!status.isOk()) return status.context("cannot read");
    if (n == 0) return Status::ok();
    if (full) {
      *more = true;
      return Status::ok();
    }
  }
}

Status writeAll(Fs& fs, const File& file, const uint8_t* data, size_t length) {
  size_t done = 0;
  return moveAll(length, &done, "cannot write", [&](size_t at, size_t n, size_t* moved) {
    return wroteSomething(fs.write(file, data + at, n, moved), moved);
  });
}

Status writeAllAt(Fs& fs, const File& file, const uint8_t* data, size_t length, uint64_t offset) {
  size_t done = 0;
  return moveAll(length, &done, "cannot write", [&](size_t at, size_t n, size_t* moved) {
    return wroteSomething(fs.writeAt(file, data + at, n, offset + at, moved), moved);
  });
}

Status writeZerosAt(Fs& fs, const File& file, uint64_t length, uint64_t offset) {
  static const std::vector<uint8_t> zeros(kChunk, 0);
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kChunk));
    if (Status s = writeAllAt(fs, file, zeros.data(), n, offset); !s.isOk()) return s;
    length -= n;
    offset += n;
  }
  return Status::ok();
}

Status Copier::copy(const File& from, uint64_t offset, uint64_t length, const File& to) {
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      length > static_cast<uint64_t>(INT64_MAX) - offset)
    return Status::invalid("a source range beyond any file");
  while (length > 0 && copyRange_) {
    size_t n = 0;
    const Status status = fs_.copyRange(from, &offset, to, std::min<uint64_t>(length, 1 << 30), &n);
    if (status.osError() == EINTR) continue;
    if (!status.isOk() && refused(status.osError())) {
      copyRange_ = false;
      break;
    }
    if (!status.isOk()) return status.context("cannot copy");
    if (n == 0) return endedEarly();
    length -= n;
  }
  while (length > 0 && sendFile_) {
    size_t n = 0;
    const Status status = fs_.sendFile(from, &offset, to, std::min<uint64_t>(length, 1 << 30), &n);
    if (status.osError() == EINTR) continue;
    if (!status.isOk() && refused(status.osError())) {
      sendFile_ = false;
      break;
    }
    if (!status.isOk()) return status.context("cannot copy");
    if (n == 0) return endedEarly();
    length -= n;
  }
  return copyThroughBuffer(from, offset, length, to);
}

Status Copier::copyThroughBuffer(const File& from, uint64_t offset, uint64_t length,
                                 const File& to) {
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

Status Copier::copyWhole(const File& from, uint64_t length, const File& to) {
  FileInfo cloned;
  if (fs_.cloneFile(from, to).isOk() && fs_.info(to, &cloned).isOk() && cloned.size >= length) {
    if (cloned.size == length) return Status::ok();
    return fs_.truncate(to, length).context("cannot write");
  }
  // Nothing of a failed clone stays.
  if (Status cut = fs_.truncate(to, 0); !cut.isOk()) return cut.context("cannot write");
  return copy(from, 0, length, to);
}

Status openUserFile(Fs& fs, const std::string& path, File* file) {
  const Status opened =
      fs.openFile(Folder::working(), path, FileIntent::kReadNoWait, Follow::kYes, file);
  if (opened.osError() == ENOENT) return Status::notFound("no such file");
  return opened.context("cannot open");
}

Status readRegularFile(Fs& fs, const File& file, std::vector<uint8_t>* bytes) {
  bytes->clear();
  FileInfo info;
  if (Status s = fs.info(file, &info); !s.isOk()) return s.context("cannot read");
  if (info.kind != FileKind::kFile) return Status::invalid("not a regular file");
  // The size is a hint: a file that grows meanwhile is read to its end.
  bytes->reserve(static_cast<size_t>(info.size) + 1);
  bool more = false;
  return readUpTo(fs, file, UINT64_MAX, bytes, &more);
}

Status readUserFile(Fs& fs, const std::string& path, std::vector<uint8_t>* bytes) {
  bytes->clear();
  File file;
  if (Status s = openUserFile(fs, path, &file); !s.isOk()) return s;
  return readRegularFile(fs, file, bytes);
}

Status listFolder(Fs& fs, const Folder& folder, std::vector<FolderEntry>* entries) {
  entries->clear();
  std::vector<std::string> names;
  if (Status s = fs.listNames(folder, &names); !s.isOk()) return s.context("cannot list");
  std::sort(names.begin(), names.end());
  for (std::string& name : names) {
    FolderEntry entry{std::move(name), {}};
    const Status looked = fs.info(folder, entry.name, Follow::kNo, &entry.info);
    if (looked.osError() == ENOENT) continue;  // removed since it was listed
    if (!looked.isOk()) return looked.context(entry.name + ": cannot look up");
    entries->push_back(std::move(entry));
  }
  return Status::ok();
}

}  // namespace orvex::io
