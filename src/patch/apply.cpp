#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "output_file.h"
#include "patch.h"

namespace orvex {
namespace {

constexpr size_t kChunk = 1 << 20;

Status writeAt(int fd, const uint8_t* data, size_t length, uint64_t offset,
               const std::string& path) {
  while (length > 0) {
    const ssize_t done = pwrite(fd, data, length, static_cast<off_t>(offset));
    if (done < 0) {
      if (errno == EINTR) continue;
      return Status::fromErrno(path + ": cannot write", errno);
    }
    data += done;
    length -= static_cast<size_t>(done);
    offset += static_cast<uint64_t>(done);
  }
  return Status::ok();
}

Status writeZerosAt(int fd, uint64_t length, uint64_t offset, const std::string& path) {
  static const std::vector<uint8_t> zeros(kChunk, 0);
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kChunk));
    const Status wrote = writeAt(fd, zeros.data(), n, offset, path);
    if (!wrote.isOk()) return wrote;
    length -= n;
    offset += n;
  }
  return Status::ok();
}

// Copies size bytes of one file into another: a reflink where the file
// system shares blocks, else a copy inside the kernel, else reads and writes.
Status copyFile(int from, int to, uint64_t size, const std::string& path) {
  if (ioctl(to, FICLONE, from) == 0) return Status::ok();
  uint64_t done = 0;
  bool inKernel = true;
  std::vector<uint8_t> buffer;
  while (done < size) {
    if (inKernel) {
      off_t in = static_cast<off_t>(done), out = static_cast<off_t>(done);
      const ssize_t n = copy_file_range(from, &in, to, &out, size - done, 0);
      if (n > 0) {
        done += static_cast<uint64_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) return Status::damaged("the image shrank while it was copied");
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
          errno != EBADF)
        return Status::fromErrno(path + ": cannot copy the image", errno);
      inKernel = false;
    }
    buffer.resize(kChunk);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, kChunk));
    const ssize_t got = pread(from, buffer.data(), want, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Status::fromErrno("cannot read the image", errno);
    if (got == 0) return Status::damaged("the image shrank while it was copied");
    const Status wrote = writeAt(to, buffer.data(), static_cast<size_t>(got), done, path);
    if (!wrote.isOk()) return wrote;
    done += static_cast<uint64_t>(got);
  }
  return Status::ok();
}

// A file under a temporary name beside its final path, removed unless it
// is renamed into place.
Status writeIndex(OutputFile* file, const std::string& path, const PatchPlan& plan) {
  const std::vector<uint8_t> bytes = encodeIndex(plan.index);
  Status status = file->create(path);
  if (status.isOk()) status = file->write(bytes.data(), bytes.size());
  if (status.isOk()) status = file->finish();
  return status;
}

}  // namespace

Status writePatchedCopy(const Store& store, const PatchPlan& plan, const std::string& newImage,
                        const std::string& newIndex) {
  OutputFile image;
  Status status = image.create(newImage);
  if (!status.isOk()) return status;
  status = copyFile(store.image.fd, image.fd(), plan.imageSize, newImage);
  if (!status.isOk()) return status;
  if (ftruncate(image.fd(), static_cast<off_t>(plan.newImageSize)) != 0)
    return Status::fromErrno(newImage + ": cannot write", errno);
  for (const EntryChange& change : plan.changes) {
    status =
        writeAt(image.fd(), change.stored.data(), change.stored.size(), change.offset, newImage);
    // The rest of the old stored bytes belonged to the entry alone.
    if (status.isOk() && change.ownSectors && change.stored.size() < change.before.size)
      status = writeZerosAt(image.fd(), change.before.size - change.stored.size(),
                            change.offset + change.stored.size(), newImage);
    if (!status.isOk()) return status;
  }
  status = image.finish();
  if (!status.isOk()) return status;
  OutputFile index;
  status = writeIndex(&index, newIndex, plan);
  if (!status.isOk()) return status;
  status = image.commit();
  if (!status.isOk()) return status;
  return index.commit();
}

Status patchInPlace(const std::string& imagePath, const std::string& indexPath,
                    const PatchPlan& plan) {
  for (const EntryChange& change : plan.changes)
    if (change.ownSectors || (!change.stored.empty() && change.offset < plan.imageSize))
      return Status::invalid(change.name + ": a change in place must go after the image's end");
  if (plan.changes.empty()) return Status::ok();

  const int fd = open(imagePath.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return Status::fromErrno(imagePath, errno);
  struct stat st;
  Status status;
  if (fstat(fd, &st) != 0) {
    status = Status::fromErrno(imagePath, errno);
  } else if (static_cast<uint64_t>(st.st_size) != plan.imageSize) {
    status = Status::invalid(imagePath + ": the image changed size since it was read");
  } else {
    // The new bytes go in ascending order, so that the image only grows.
    std::vector<const EntryChange*> order;
    for (const EntryChange& change : plan.changes) order.push_back(&change);
    std::sort(order.begin(), order.end(),
              [](const EntryChange* a, const EntryChange* b) { return a->offset < b->offset; });
    uint64_t end = plan.imageSize;
    for (const EntryChange* change : order) {
      if (change->stored.empty()) continue;
      status = writeZerosAt(fd, change->offset - end, end, imagePath);
      for (size_t at = 0; status.isOk() && at < change->stored.size(); at += kChunk)
        status =
            writeAt(fd, change->stored.data() + at, std::min(kChunk, change->stored.size() - at),
                    change->offset + at, imagePath);
      if (!status.isOk()) break;
      end = change->offset + change->stored.size();
    }
    if (status.isOk()) status = writeZerosAt(fd, plan.newImageSize - end, end, imagePath);
    if (status.isOk() && fsync(fd) != 0)
      status = Status::fromErrno(imagePath + ": cannot sync", errno);
  }
  if (close(fd) != 0 && status.isOk())
    status = Status::fromErrno(imagePath + ": cannot write", errno);
  if (!status.isOk()) return status;

  // Only now, with every new byte on disk, does the index name them.
  OutputFile index;
  status = writeIndex(&index, indexPath, plan);
  if (!status.isOk()) return status;
  return index.commit();
}

}  // namespace orvex
