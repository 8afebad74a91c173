#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "file_io.h"
#include "new_file.h"
#include "patch.h"
#include "paths.h"
#include "sector_writer.h"

namespace orvex {
namespace {

constexpr size_t kChunk = 1 << 20;

Status writeIndex(io::Fs& fs, io::OutputFile* file, const PatchPlan& plan) {
  const std::vector<uint8_t> bytes = encodeIndex(plan.index);
  return file->about(io::writeAll(fs, file->file(), bytes.data(), bytes.size()));
}

// Appends the plan's bytes after the image's old end, in ascending order so
// that the image only grows.
Status appendChanges(SectorWriter& writer, const PatchPlan& plan) {
  std::vector<const EntryChange*> order;
  for (const EntryChange& change : plan.changes)
    if (!change.ownSectors) order.push_back(&change);
  std::sort(order.begin(), order.end(),
            [](const EntryChange* a, const EntryChange* b) { return a->offset < b->offset; });
  uint64_t end = plan.imageSize;
  for (const EntryChange* change : order) {
    if (change->stored.empty()) continue;
    Status status = writer.writeZeros(change->offset - end, end);
    for (size_t at = 0; status.isOk() && at < change->stored.size(); at += kChunk)
      status = writer.write(change->stored.data() + at,
                            std::min(kChunk, change->stored.size() - at), change->offset + at);
    if (!status.isOk()) return status;
    end = change->offset + change->stored.size();
  }
  return writer.writeZeros(plan.newImageSize - end, end);
}

}  // namespace

Status writePatchedCopy(const Store& store, const PatchPlan& plan, const std::string& newImage,
                        const std::string& newIndex) {
  io::Fs& fs = *store.image.fs;
  const SectorImage& sectors = store.image.sectors;
  const bool cue = !sectors.cuePath().empty();
  std::string sheetText;
  const std::string dataPath = cue ? patchedDataPath(newImage, sectors.dataPath()) : newImage;
  if (cue) {
    if (Status s = patchedCueSheet(fs, sectors.cuePath(), newImage, dataPath, &sheetText);
        !s.isOk())
      return s;
  }
  const std::optional<IndexExtent>& inImage = store.indexInImage;
  io::OutputFile image(fs), sheet(fs), index(fs);
  Status status = image.create(dataPath);
  if (status.isOk() && cue) status = sheet.create(newImage);
  if (status.isOk() && !inImage) status = index.create(newIndex);
  if (!status.isOk()) return status;
  io::Copier copier(fs);
  status = image.about(copier.copyWhole(sectors.dataFile(), plan.layout.fileSize, image.file()));
  SectorWriter writer(fs, image.file(), image.file(), plan.layout);
  for (size_t i = 0; status.isOk() && i < plan.changes.size(); ++i) {
    const EntryChange& change = plan.changes[i];
    if (!change.ownSectors) continue;
    status = image.about(writer.write(change.stored.data(), change.stored.size(), change.offset));
    // The rest of the old stored bytes belonged to the entry alone.
    if (status.isOk() && change.stored.size() < change.before.size)
      status = image.about(writer.writeZeros(change.before.size - change.stored.size(),
                                             change.offset + change.stored.size()));
  }
  if (status.isOk()) status = image.about(appendChanges(writer, plan));
  if (status.isOk() && cue)
    status = sheet.about(io::writeAll(
        fs, sheet.file(), reinterpret_cast<const uint8_t*>(sheetText.data()), sheetText.size()));
  if (status.isOk() && inImage) {
    // The copy's own extent, the rest of its last sector as it was.
    const std::vector<uint8_t> bytes = encodeIndex(plan.index);
    status = image.about(
        writer.write(bytes.data(), bytes.size(), uint64_t{inImage->sector} * SECTOR_SIZE));
    if (status.isOk()) status = io::publishTogether(image, cue ? &sheet : nullptr);
    return status;
  }
  if (status.isOk()) status = writeIndex(fs, &index, plan);
  if (status.isOk()) status = io::publishTogether(image, &index, cue ? &sheet : nullptr);
  return status;
}

namespace {

// Where the old bytes of the index's extent lie in the image's file: whole
// raw sectors in a raw image, else the index's own bytes.
void extentSpan(const IndexExtent& extent, const ImageLayout& layout, uint64_t* at,
                uint64_t* length) {
  const uint64_t sectorBytes = layout.raw ? RAW_SECTOR_SIZE : SECTOR_SIZE;
  *at = layout.dataStart + uint64_t{extent.sector} * sectorBytes;
  *length = layout.raw ? extent.sectors() * RAW_SECTOR_SIZE : extent.length;
}

// Appends the plan's changes to the image, syncs it, then puts the new index
// in place: replacing the file at indexPath, or rewriting the extent inside
// the image. See patchInPlace and patchInPlaceIndexInImage.
Status applyInPlace(const std::string& imagePath, const std::string* indexPath,
                    const IndexExtent* inImage, const PatchPlan& plan, io::Fs& fs,
                    bool* indexTorn) {
  if (indexTorn) *indexTorn = false;
  for (const EntryChange& change : plan.changes)
    if (change.ownSectors || (!change.stored.empty() && change.offset < plan.imageSize))
      return Status::invalid(change.name + ": a change in place must go after the image's end");
  if (plan.changes.empty()) return Status::ok();

  io::OutputFile index(fs);
  if (indexPath) {
    // The index is replaced where it lives: through a link, its target.
    std::string indexTarget;
    if (Status s = resolvePath(fs, *indexPath, &indexTarget); !s.isOk())
      return Status::ioError(*indexPath + ": " + s.message());
    io::FileInfo old;
    if (Status s = fs.info(io::Folder::working(), indexTarget, io::Follow::kYes, &old); !s.isOk())
      return s.context(*indexPath);
    // Made before the image grows, so that a folder where it cannot be made
    // refuses the patch with both files as they were.
    if (Status s = index.create(indexTarget, old.permissions); !s.isOk()) return s;
    if (Status s = writeIndex(fs, &index, plan); !s.isOk()) return s;
  }

  io::File image;
  if (Status s = fs.openFile(io::Folder::working(), imagePath, io::FileIntent::kWrite,
                             io::Follow::kYes, &image);
      !s.isOk())
    return s.context(imagePath);
  io::FileInfo info;
  if (Status s = fs.info(image, &info); !s.isOk()) return s.context(imagePath);
  if (info.size != plan.layout.fileSize)
    return Status::invalid(imagePath + ": the image changed size since it was read");

  // Until the new index is in place, an interrupting signal or a failure
  // cuts the image back to its old length.
  io::PendingUndo undo;
  undo.truncate(image, plan.layout.fileSize);
  // Raw sectors are read before they are rewritten, and so is the index's
  // extent, to be put back if rewriting it fails.
  io::File reader;
  if (plan.layout.raw || inImage) {
    if (Status s = fs.openFile(io::Folder::working(), imagePath, io::FileIntent::kRead,
                               io::Follow::kYes, &reader);
        !s.isOk())
      return s.context(imagePath);
  }
  std::vector<uint8_t> oldExtent;
  uint64_t extentAt = 0, extentLength = 0;
  if (inImage) {
    extentSpan(*inImage, plan.layout, &extentAt, &extentLength);
    oldExtent.resize(extentLength);
    size_t got = 0;
    if (Status s = io::readAt(fs, reader, oldExtent.data(), oldExtent.size(), extentAt, &got);
        !s.isOk())
      return s.context(imagePath);
    oldExtent.resize(got);
  }
  SectorWriter writer(fs, image, plan.layout.raw ? reader : image, plan.layout);
  Status status = appendChanges(writer, plan);
  if (status.isOk()) status = fs.sync(image).context("cannot sync");
  status = status.context(imagePath);
  bool placed = false;
  if (status.isOk()) {
    const io::SignalsHeld held;
    if (indexPath) {
      status = io::publishTogether(index, nullptr);
      placed = index.published();
    } else {
      const std::vector<uint8_t> bytes = encodeIndex(plan.index);
      status =
          writer.writeAtOnce(bytes.data(), bytes.size(), uint64_t{inImage->sector} * SECTOR_SIZE);
      if (status.isOk()) status = fs.sync(image).context("cannot sync");
      status = status.context(imagePath + ": the index's sectors");
      placed = status.isOk();
      if (!placed) {
        // The old index back first, so that cutting the image back leaves
        // the disc as it was.
        const Status back = io::writeAllAt(fs, image, oldExtent.data(), oldExtent.size(), extentAt);
        if (!back.isOk() || !fs.sync(image).isOk()) {
          if (indexTorn) *indexTorn = true;
          undo.withdraw();
          return status;
        }
      }
    }
    if (placed) undo.withdraw();
  }
  if (!placed) {
    undo.withdraw();
    // What the image was is all that can be put back; the failure that led
    // here is the one reported.
    (void)fs.truncate(image, plan.layout.fileSize);
    (void)fs.sync(image);
  }
  if (!status.isOk()) return status;
  return image.close().context(imagePath + ": cannot write");
}

}  // namespace

Status patchInPlace(const std::string& imagePath, const std::string& indexPath,
                    const PatchPlan& plan, io::Fs& fs) {
  return applyInPlace(imagePath, &indexPath, nullptr, plan, fs, nullptr);
}

Status patchInPlaceIndexInImage(const std::string& imagePath, const IndexExtent& extent,
                                const PatchPlan& plan, io::Fs& fs, bool* indexTorn) {
  return applyInPlace(imagePath, nullptr, &extent, plan, fs, indexTorn);
}

}  // namespace orvex
