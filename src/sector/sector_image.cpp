#include "sector_image.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "file_io.h"
#include "raw_sector.h"

namespace orvex {
namespace {

constexpr size_t kDataSize = 2048;
// Sectors whose sync and mode byte make a bare file raw.
constexpr uint64_t kProbeSectors = 16;
// Raw sectors read at once.
constexpr size_t kBatchSectors = 32;

bool endsWithCue(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".cue";
}

std::string folderOf(const std::string& path) {
  size_t slash = std::string::npos;
  for (size_t i = 0; i < path.size(); ++i)
    if (io::isPathSeparator(path[i])) slash = i;
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool sameFolded(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Opens a file of an image for reading at offsets, as every image is read.
Status openReadable(io::Fs& fs, const std::string& path, io::File* file, uint64_t* length) {
  if (Status s =
          fs.openFile(io::Folder::working(), path, io::FileIntent::kRead, io::Follow::kYes, file);
      !s.isOk())
    return s;
  io::FileInfo info;
  if (Status s = fs.info(*file, &info); !s.isOk()) return s;
  if (info.kind == io::FileKind::kFolder) return Status::fromErrno(EISDIR);
  // Stored files are read at their offsets: a pipe or a terminal would read
  // as an empty image.
  if (!fs.readableLength(*file, length).isOk())
    return Status::invalid("cannot be read at offsets (a pipe or a terminal?); give a file");
  return Status::ok();
}

// The data file a cue sheet names, as written, with '/' for a '\' written on
// Windows, and its name in any case where the folder holds it so.
Status openCueFile(io::Fs& fs, const std::string& cuePath, const std::string& named,
                   std::string* path, io::File* file, uint64_t* length) {
  std::string relative = named;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  const std::string folder = folderOf(cuePath);
  *path = folder + relative;
  Status opened = openReadable(fs, *path, file, length);
  if (opened.osError() != ENOENT) return opened;
  const std::string leafFolder = folder + folderOf(relative);
  const std::string leaf = relative.substr(folderOf(relative).size());
  io::Folder parent;
  std::vector<std::string> names;
  if (fs.openFolder(io::Folder::working(), leafFolder.empty() ? "." : leafFolder,
                    io::FolderIntent::kList, io::Follow::kYes, &parent)
          .isOk() &&
      fs.listNames(parent, &names).isOk()) {
    for (const std::string& name : names) {
      if (!sameFolded(name, leaf)) continue;
      *path = leafFolder + name;
      return openReadable(fs, *path, file, length);
    }
  }
  return opened;
}

// How many of the cut sector's bytes are data: those past its data offset.
uint64_t cutDataBytes(const uint8_t* head, uint64_t cut) {
  if (cut < 16) return 0;
  const uint64_t from = dataOffset(sectorMode(head));
  return cut > from ? std::min<uint64_t>(cut - from, kDataSize) : 0;
}

}  // namespace

Status SectorImage::open(io::Fs& fs, const std::string& path, SectorImage* image) {
  *image = SectorImage();
  image->fs_ = &fs;
  uint64_t length = 0;
  if (!endsWithCue(path)) {
    if (Status s = openReadable(fs, path, &image->file_, &length); !s.isOk()) return s;
    image->dataPath_ = path;
    image->size_ = length;
    if (length == 0 || length % RAW_SECTOR_SIZE != 0) return Status::ok();
    const uint64_t sectors = length / RAW_SECTOR_SIZE;
    uint8_t head[16];
    std::string mode;
    for (uint64_t i = 0; i < std::min(sectors, kProbeSectors); ++i) {
      size_t got = 0;
      if (!io::readAt(fs, image->file_, head, sizeof head, i * RAW_SECTOR_SIZE, &got).isOk() ||
          got != sizeof head || !hasSync(head) || (head[15] != 1 && head[15] != 2))
        return Status::ok();
      if (i == 0) mode = head[15] == 1 ? "MODE1/2352" : "MODE2/2352";
    }
    image->raw_ = true;
    image->rawSectors_ = sectors;
    image->size_ = sectors * kDataSize;
    image->tracks_.push_back({1, mode, "", sectors});
    return Status::ok();
  }

  std::vector<uint8_t> text;
  if (Status s = io::readUserFile(fs, path, &text); !s.isOk()) return s;
  CueSheet sheet;
  if (Status s = parseCueSheet(std::string_view(reinterpret_cast<const char*>(text.data()),
                                                text.size()),
                               &sheet);
      !s.isOk())
    return s;
  const CueTrack* track = firstDataTrack(sheet);
  if (track == nullptr)
    return Status::invalid(
        "the cue sheet has no data track (MODE1/2352, MODE2/2352 or MODE1/2048)");
  const size_t trackIndex = static_cast<size_t>(track - sheet.tracks.data());
  const std::string& named = sheet.files[track->file];
  if (Status s = openCueFile(fs, path, named, &image->dataPath_, &image->file_, &length);
      !s.isOk())
    return s.context("the cue sheet's file " + named);
  image->cuePath_ = path;
  image->raw_ = track->sectorSize == RAW_SECTOR_SIZE;
  image->dataStart_ = track->start01 * track->sectorSize;
  for (size_t i = trackIndex + 1; i < sheet.tracks.size(); ++i)
    if (sheet.tracks[i].file == track->file) image->dataTrackEndsFile_ = false;
  const uint64_t available = length > image->dataStart_ ? length - image->dataStart_ : 0;
  const uint64_t bounded = boundedSectors(sheet, trackIndex) * track->sectorSize;
  const uint64_t bytes = bounded != 0 ? std::min(bounded, available) : available;
  if (image->raw_) {
    image->rawSectors_ = bytes / RAW_SECTOR_SIZE;
    image->rawCutBytes_ = bytes % RAW_SECTOR_SIZE;
    image->size_ = image->rawSectors_ * kDataSize;
    if (image->rawCutBytes_ > 0) {
      uint8_t head[24] = {};
      size_t got = 0;
      (void)io::readAt(fs, image->file_, head, sizeof head,
                       image->dataStart_ + image->rawSectors_ * RAW_SECTOR_SIZE, &got);
      image->size_ += cutDataBytes(head, image->rawCutBytes_);
    }
  } else {
    image->size_ = bytes;
  }
  for (size_t i = 0; i < sheet.tracks.size(); ++i) {
    const CueTrack& t = sheet.tracks[i];
    uint64_t sectors = boundedSectors(sheet, i);
    if (&t == track) sectors = image->rawSectors_ + (image->rawCutBytes_ > 0 ? 1 : 0);
    if (!image->raw_ && &t == track) sectors = (image->size_ + kDataSize - 1) / kDataSize;
    image->tracks_.push_back({t.number, t.mode, sheet.files[t.file], sectors});
  }
  return Status::ok();
}

Status SectorImage::read(uint8_t* into, size_t length, uint64_t offset, size_t* got,
                         bool* form2) const {
  *got = 0;
  if (offset >= size_) return Status::ok();
  length = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
  if (!raw_) return io::readAt(*fs_, file_, into, length, dataStart_ + offset, got);
  thread_local std::vector<uint8_t> batch;
  batch.resize(kBatchSectors * RAW_SECTOR_SIZE);
  while (*got < length) {
    const uint64_t sector = (offset + *got) / kDataSize;
    const size_t within = static_cast<size_t>((offset + *got) % kDataSize);
    const size_t wanted = length - *got;
    const size_t sectors =
        std::min<size_t>(kBatchSectors, (within + wanted + kDataSize - 1) / kDataSize);
    size_t read = 0;
    if (Status s = io::readAt(*fs_, file_, batch.data(), sectors * RAW_SECTOR_SIZE,
                              dataStart_ + sector * RAW_SECTOR_SIZE, &read);
        !s.isOk())
      return s;
    size_t from = within;
    for (size_t i = 0; i < sectors && *got < length; ++i) {
      const uint8_t* raw = batch.data() + i * RAW_SECTOR_SIZE;
      const size_t have = read > i * RAW_SECTOR_SIZE ? read - i * RAW_SECTOR_SIZE : 0;
      if (have < 16) return Status::ok();
      const SectorMode mode = sectorMode(raw);
      if (mode == SectorMode::kMode2Form2 && form2 != nullptr) *form2 = true;
      const size_t start = dataOffset(mode);
      const size_t inSector = have > start ? std::min(have - start, kDataSize) : 0;
      if (from >= inSector) return Status::ok();
      const size_t n = std::min(inSector - from, length - *got);
      std::memcpy(into + *got, raw + start + from, n);
      *got += n;
      from = 0;
      if (inSector < kDataSize) return Status::ok();
    }
  }
  return Status::ok();
}

}  // namespace orvex
