#include "sector_writer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "file_io.h"

namespace orvex {
namespace {

constexpr uint64_t kDataSize = SECTOR_SIZE;
constexpr size_t kSubheaderAt = 16;
// Raw sectors read or written at once.
constexpr uint64_t kBatchSectors = 32;

bool writable(SectorMode mode) {
  return mode == SectorMode::kMode1 || mode == SectorMode::kMode2Form1;
}

// Reads count raw sectors from first into batch; *got gets the bytes read.
Status readRaw(io::Fs& fs, const io::File& file, uint64_t dataStart, uint64_t first, uint64_t count,
               std::vector<uint8_t>* batch, size_t* got) {
  batch->assign(count * RAW_SECTOR_SIZE, 0);
  return io::readAt(fs, file, batch->data(), batch->size(), dataStart + first * RAW_SECTOR_SIZE,
                    got);
}

}  // namespace

Status layoutOf(const SectorImage& image, ImageLayout* layout) {
  *layout = ImageLayout();
  io::FileInfo info;
  if (Status s = image.fs().info(image.dataFile(), &info); !s.isOk())
    return s.context(image.dataPath());
  layout->raw = image.raw();
  layout->dataStart = image.dataStart();
  layout->fileSize = info.size;
  if (!layout->raw) return Status::ok();
  const uint64_t whole = image.rawSectors();
  const uint64_t rest =
      info.size - std::min(info.size, image.dataStart() + whole * RAW_SECTOR_SIZE);
  layout->rawSectors = whole + (image.dataTrackEndsFile() && rest > 0 ? 1 : 0);

  // The last sector that can be written gives appended ones their mode.
  std::vector<uint8_t> batch;
  for (uint64_t end = whole; end > 0;) {
    const uint64_t first = end - std::min(end, kBatchSectors);
    size_t got = 0;
    if (Status s = readRaw(image.fs(), image.dataFile(), image.dataStart(), first, end - first,
                           &batch, &got);
        !s.isOk())
      return s.context(image.dataPath());
    for (uint64_t i = end; i-- > first;) {
      const uint8_t* sector = batch.data() + (i - first) * RAW_SECTOR_SIZE;
      const SectorMode mode = sectorMode(sector);
      if (!writable(mode)) continue;
      layout->appendMode = mode;
      uint32_t lba = 0;
      // A header that gives no address of its own: the sector's place in
      // its file stands for it.
      if (!headerAddress(sector, &lba) || lba < i)
        lba = static_cast<uint32_t>(image.dataStart() / RAW_SECTOR_SIZE + i);
      layout->firstLba = static_cast<uint32_t>(lba - i);
      std::memcpy(layout->subheader, sector + kSubheaderAt, sizeof layout->subheader);
      return Status::ok();
    }
    end = first;
  }
  return Status::ok();
}

Status findUnwritableSector(const SectorImage& image, uint64_t first, uint64_t count,
                            std::optional<UnwritableSector>* found) {
  found->reset();
  std::vector<uint8_t> batch;
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min(count - done, kBatchSectors);
    size_t got = 0;
    if (Status s =
            readRaw(image.fs(), image.dataFile(), image.dataStart(), first + done, n, &batch, &got);
        !s.isOk())
      return s.context(image.dataPath());
    for (uint64_t i = 0; i < n && (i * RAW_SECTOR_SIZE + 16) <= got; ++i) {
      const SectorMode mode = sectorMode(batch.data() + i * RAW_SECTOR_SIZE);
      if (writable(mode)) continue;
      *found = UnwritableSector{first + done + i, mode};
      return Status::ok();
    }
    done += n;
  }
  return Status::ok();
}

Status SectorWriter::write(const uint8_t* data, uint64_t length, uint64_t offset) {
  if (layout_.raw) return writeRaw(data, length, offset, kBatchSectors);
  if (data) return io::writeAllAt(fs_, file_, data, length, layout_.dataStart + offset);
  return io::writeZerosAt(fs_, file_, length, layout_.dataStart + offset);
}

Status SectorWriter::writeAtOnce(const uint8_t* data, uint64_t length, uint64_t offset) {
  if (!layout_.raw || length == 0) return write(data, length, offset);
  const uint64_t sectors = (offset + length - 1) / kDataSize - offset / kDataSize + 1;
  return writeRaw(data, length, offset, sectors);
}

Status SectorWriter::writeRaw(const uint8_t* data, uint64_t length, uint64_t offset,
                              uint64_t batchSectors) {
  std::vector<uint8_t> batch;
  while (length > 0) {
    const uint64_t first = offset / kDataSize;
    const uint64_t last = (offset + length - 1) / kDataSize;
    const uint64_t count = std::min(last - first + 1, batchSectors);
    size_t got = 0;
    if (Status s = readRaw(fs_, readFrom_, layout_.dataStart, first, count, &batch, &got);
        !s.isOk())
      return s;
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t index = first + i;
      uint8_t* sector = batch.data() + i * RAW_SECTOR_SIZE;
      const size_t have = got > i * RAW_SECTOR_SIZE ? got - i * RAW_SECTOR_SIZE : 0;
      SectorMode mode = sectorMode(sector);
      // A sector of the image, or one this writer appended, keeps its header
      // and subheader; a new one (or a cut one without them) gets its own.
      if (index >= known_ || have < 16 || have < dataOffset(mode)) {
        if (!layout_.appendMode)
          return Status::invalid("no Mode 1 or Mode 2 Form 1 sector gives new sectors a mode");
        mode = *layout_.appendMode;
        std::memset(sector, 0, RAW_SECTOR_SIZE);
        writeHeader(sector, layout_.firstLba + static_cast<uint32_t>(index),
                    mode == SectorMode::kMode1 ? 1 : 2);
        if (mode != SectorMode::kMode1)
          std::memcpy(sector + kSubheaderAt, layout_.subheader, sizeof layout_.subheader);
      } else if (!writable(mode)) {
        return Status::invalid("sector " + std::to_string(index) +
                               " is neither Mode 1 nor Mode 2 Form 1 and cannot be rewritten");
      }
      const uint64_t from = std::max(offset, index * kDataSize);
      const uint64_t to = std::min(offset + length, (index + 1) * kDataSize);
      uint8_t* into = sector + dataOffset(mode) + (from - index * kDataSize);
      if (data)
        std::memcpy(into, data + (from - offset), to - from);
      else
        std::memset(into, 0, to - from);
      sealSector(sector, mode);
    }
    if (Status s = io::writeAllAt(fs_, file_, batch.data(), batch.size(),
                                  layout_.dataStart + first * RAW_SECTOR_SIZE);
        !s.isOk())
      return s;
    known_ = std::max(known_, first + count);
    const uint64_t done = std::min(offset + length, (first + count) * kDataSize) - offset;
    if (data) data += done;
    offset += done;
    length -= done;
  }
  return Status::ok();
}

}  // namespace orvex
