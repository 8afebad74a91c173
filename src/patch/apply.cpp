#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "file_io.h"
#include "new_file.h"
#include "patch.h"
#include "paths.h"

namespace orvex {
namespace {

constexpr size_t kChunk = 1 << 20;

Status writeIndex(io::Fs& fs, io::OutputFile* file, const PatchPlan& plan) {
  const std::vector<uint8_t> bytes = encodeIndex(plan.index);
  return file->about(io::writeAll(fs, file->fd(), bytes.data(), bytes.size()));
}

// Appends the plan's bytes after the image's old end, in ascending order so
// that the image only grows.
Status appendChanges(io::Fs& fs, int fd, const PatchPlan& plan) {
  std::vector<const EntryChange*> order;
  for (const EntryChange& change : plan.changes) order.push_back(&change);
  std::sort(order.begin(), order.end(),
            [](const EntryChange* a, const EntryChange* b) { return a->offset < b->offset; });
  uint64_t end = plan.imageSize;
  for (const EntryChange* change : order) {
    if (change->stored.empty()) continue;
    Status status = io::writeZerosAt(fs, fd, change->offset - end, end);
    for (size_t at = 0; status.isOk() && at < change->stored.size(); at += kChunk)
      status = io::writeAllAt(fs, fd, change->stored.data() + at,
                              std::min(kChunk, change->stored.size() - at), change->offset + at);
    if (!status.isOk()) return status;
    end = change->offset + change->stored.size();
  }
  Status status = io::writeZerosAt(fs, fd, plan.newImageSize - end, end);
  if (!status.isOk()) return status;
  const int err = fs.sync(fd);
  return err == 0 ? Status::ok() : Status::fromErrno("cannot sync", -err);
}

}  // namespace

Status writePatchedCopy(const Store& store, const PatchPlan& plan, const std::string& newImage,
                        const std::string& newIndex) {
  io::Fs& fs = *store.image.fs;
  io::OutputFile image(fs), index(fs);
  Status status = image.create(newImage);
  if (status.isOk()) status = index.create(newIndex);
  if (!status.isOk()) return status;
  io::Copier copier(fs);
  status = image.about(copier.copyWhole(store.image.fd(), plan.imageSize, image.fd()));
  if (status.isOk() && fs.truncate(image.fd(), plan.newImageSize) != 0)
    status = image.about(Status::ioError("cannot write"));
  for (size_t i = 0; status.isOk() && i < plan.changes.size(); ++i) {
    const EntryChange& change = plan.changes[i];
    status = image.about(
        io::writeAllAt(fs, image.fd(), change.stored.data(), change.stored.size(), change.offset));
    // The rest of the old stored bytes belonged to the entry alone.
    if (status.isOk() && change.ownSectors && change.stored.size() < change.before.size)
      status =
          image.about(io::writeZerosAt(fs, image.fd(), change.before.size - change.stored.size(),
                                       change.offset + change.stored.size()));
  }
  if (status.isOk()) status = writeIndex(fs, &index, plan);
  if (status.isOk()) status = io::publishTogether(image, &index);
  return status;
}

Status patchInPlace(const std::string& imagePath, const std::string& indexPath,
                    const PatchPlan& plan, io::Fs& fs) {
  for (const EntryChange& change : plan.changes)
    if (change.ownSectors || (!change.stored.empty() && change.offset < plan.imageSize))
      return Status::invalid(change.name + ": a change in place must go after the image's end");
  if (plan.changes.empty()) return Status::ok();

  // The index is replaced where it lives: through a link, its target.
  std::string indexTarget;
  if (Status s = resolvePath(indexPath, &indexTarget); !s.isOk())
    return Status::ioError(indexPath + ": " + s.message());
  struct stat old;
  if (const int err = fs.stat(AT_FDCWD, indexTarget.c_str(), &old, 0); err != 0)
    return Status::fromErrno(indexPath, -err);
  // Made before the image grows, so that a folder where it cannot be made
  // refuses the patch with both files as they were.
  io::OutputFile index(fs);
  if (Status s = index.create(indexTarget, old.st_mode & 07777, true); !s.isOk()) return s;
  Status status = writeIndex(fs, &index, plan);
  if (!status.isOk()) return status;

  const int fd = fs.open(AT_FDCWD, imagePath.c_str(), O_WRONLY);
  if (fd < 0) return Status::fromErrno(imagePath, -fd);
  io::Fd image(fd);
  struct stat st;
  if (const int err = fs.fstat(fd, &st); err != 0) return Status::fromErrno(imagePath, -err);
  if (static_cast<uint64_t>(st.st_size) != plan.imageSize)
    return Status::invalid(imagePath + ": the image changed size since it was read");

  // Until the new index is in place, an interrupting signal or a failure
  // cuts the image back to its old length.
  io::PendingUndo undo;
  undo.truncate(fd, plan.imageSize);
  status = appendChanges(fs, fd, plan);
  if (!status.isOk()) status = Status::ioError(imagePath + ": " + status.message());
  if (status.isOk()) {
    const io::SignalsHeld held;
    status = io::publishTogether(index, nullptr);
    if (index.published()) undo.withdraw();
  }
  if (!index.published()) {
    undo.withdraw();
    fs.truncate(fd, plan.imageSize);
    fs.sync(fd);
  }
  if (!status.isOk()) return status;
  const int closed = image.close();
  return closed == 0 ? Status::ok() : Status::fromErrno(imagePath + ": cannot write", closed);
}

}  // namespace orvex
