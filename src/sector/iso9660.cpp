#include "iso9660.h"

#include <algorithm>
#include <cstdint>
#include <set>

namespace orvex {
namespace {

// Volume descriptors read after sector 16 looking for Joliet's.
constexpr uint32_t kMaxDescriptors = 64;
constexpr size_t kRecordMinimum = 33;

uint32_t little32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t little16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

char folded(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// A name without its ";N" version and the dot a name without extension ends with.
std::string bareName(std::string name) {
  const size_t version = name.rfind(';');
  if (version != std::string::npos) name.erase(version);
  if (name.size() > 1 && name.back() == '.') name.pop_back();
  return name;
}

void appendUtf8(std::string* out, uint32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | c >> 6));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | c >> 12));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | c >> 18));
    out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// A Joliet name: UCS-2 (UTF-16 where pairs stand) big-endian, as UTF-8.
std::string ucs2Name(const uint8_t* p, size_t length) {
  std::string name;
  for (size_t i = 0; i + 1 < length; i += 2) {
    uint32_t c = uint32_t{p[i]} << 8 | p[i + 1];
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < length) {
      const uint32_t low = uint32_t{p[i + 2]} << 8 | p[i + 3];
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    appendUtf8(&name, c);
  }
  return name;
}

class TreeReader {
 public:
  TreeReader(const IsoReader& read, uint64_t imageSize, bool joliet, Problems* oddities)
      : read_(read), imageSize_(imageSize), joliet_(joliet), oddities_(oddities) {}

  Status readTree(const uint8_t* rootRecord, std::vector<IsoFile>* files) {
    files_ = files;
    return readFolder("", little32(rootRecord + 2) + rootRecord[1], little32(rootRecord + 10), 0);
  }

 private:
  Status readFolder(const std::string& path, uint32_t sector, uint32_t size, int depth) {
    const std::string shown = path.empty() ? "/" : path;
    if (depth > ISO_MAX_DEPTH) {
      oddities_->add(shown, "folders nested deeper than " + std::to_string(ISO_MAX_DEPTH) +
                                " levels; left out");
      return Status::ok();
    }
    if (!entered_.insert(sector).second) {
      oddities_->add(shown, "a folder whose records were already read; left out");
      return Status::ok();
    }
    const uint64_t sectors = (uint64_t{size} + ISO_SECTOR_SIZE - 1) / ISO_SECTOR_SIZE;
    if (uint64_t{sector} * ISO_SECTOR_SIZE + uint64_t{size} > imageSize_) {
      oddities_->add(shown, "its records lie past the end of the image; left out");
      return Status::ok();
    }
    if (sectorsRead_ + sectors > ISO_MAX_DIRECTORY_SECTORS) {
      oddities_->add(shown, "more than " + std::to_string(ISO_MAX_DIRECTORY_SECTORS) +
                                " sectors of folder records in all; left out");
      return Status::ok();
    }
    sectorsRead_ += sectors;
    uint8_t block[ISO_SECTOR_SIZE];
    // The file whose further extents follow, by its place in files_.
    size_t pending = SIZE_MAX;
    for (uint64_t s = 0; s < sectors; ++s) {
      size_t got = 0;
      if (Status read = read_(block, sizeof block, (sector + s) * ISO_SECTOR_SIZE, &got);
          !read.isOk())
        return read;
      const size_t end = static_cast<size_t>(std::min<uint64_t>(got, size - s * ISO_SECTOR_SIZE));
      for (size_t at = 0; at < end;) {
        const uint8_t* record = block + at;
        const size_t length = record[0];
        // A record never crosses a sector: a zero length ends the sector's.
        if (length == 0) break;
        if (length < kRecordMinimum || at + length > end || kRecordMinimum + record[32] > length) {
          oddities_->add(shown,
                         "a folder record that breaks the format; the rest of its "
                         "sector is left out");
          break;
        }
        at += length;
        const uint8_t* id = record + 33;
        const size_t idLength = record[32];
        if (idLength == 1 && (id[0] == 0 || id[0] == 1)) continue;  // the folder and its parent
        if (files_->size() >= ISO_MAX_FILES) {
          oddities_->add(shown, "more than " + std::to_string(ISO_MAX_FILES) +
                                    " files in all; the rest are left out");
          return Status::ok();
        }
        IsoFile file;
        const std::string name =
            bareName(joliet_ ? ucs2Name(id, idLength)
                             : std::string(reinterpret_cast<const char*>(id), idLength));
        file.path = path + "/" + name;
        file.sector = little32(record + 2) + record[1];
        file.size = little32(record + 10);
        file.folder = (record[25] & 0x02) != 0;
        const bool continues = (record[25] & 0x80) != 0;
        if (pending != SIZE_MAX && (*files_)[pending].path == file.path) {
          (*files_)[pending].size += file.size;
          (*files_)[pending].severalExtents = true;
          if (!continues) pending = SIZE_MAX;
          continue;
        }
        files_->push_back(file);
        pending = continues && !file.folder ? files_->size() - 1 : SIZE_MAX;
        if (file.folder) {
          if (Status s =
                  readFolder(file.path, file.sector, static_cast<uint32_t>(file.size), depth + 1);
              !s.isOk())
            return s;
        } else if (uint64_t{file.sector} * ISO_SECTOR_SIZE + file.size > imageSize_) {
          oddities_->add(file.path, "its data runs past the end of the image");
        }
      }
    }
    return Status::ok();
  }

  const IsoReader& read_;
  uint64_t imageSize_;
  bool joliet_;
  Problems* oddities_;
  std::vector<IsoFile>* files_ = nullptr;
  std::set<uint32_t> entered_;
  uint64_t sectorsRead_ = 0;
};

bool isDescriptor(const uint8_t* d) { return std::equal(d + 1, d + 6, "CD001"); }

bool isJoliet(const uint8_t* d) {
  const uint8_t* escape = d + 88;
  return d[0] == 2 && escape[0] == '%' && escape[1] == '/' &&
         (escape[2] == '@' || escape[2] == 'C' || escape[2] == 'E');
}

// "/a/b;1" and "A\B" alike: names folded, versions dropped, one '/' before each.
std::string pathKey(std::string_view path) {
  std::string key, name;
  auto flush = [&] {
    if (name.empty()) return;
    key += '/';
    for (char c : bareName(name)) key += folded(c);
    name.clear();
  };
  for (char c : path) {
    if (c == '/' || c == '\\')
      flush();
    else
      name += c;
  }
  flush();
  return key;
}

}  // namespace

Status readIsoVolume(const IsoReader& read, uint64_t imageSize, IsoVolume* volume,
                     Problems* oddities) {
  *volume = IsoVolume();
  uint8_t primary[ISO_SECTOR_SIZE];
  size_t got = 0;
  if (Status s =
          read(primary, sizeof primary, uint64_t{ISO_DESCRIPTOR_SECTOR} * ISO_SECTOR_SIZE, &got);
      !s.isOk())
    return s;
  if (got < sizeof primary || primary[0] != 1 || !isDescriptor(primary))
    return Status::invalid(
        "no ISO 9660 file system: sector 16 holds no primary volume "
        "descriptor");
  if (little16(primary + 128) != ISO_SECTOR_SIZE)
    return Status::invalid("the ISO 9660 file system has " +
                           std::to_string(little16(primary + 128)) +
                           "-byte blocks; only 2048-byte ones are read");
  std::string name(reinterpret_cast<const char*>(primary + 40), 32);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) name.pop_back();
  volume->name = name;
  volume->sectors = little32(primary + 80);

  uint8_t joliet[ISO_SECTOR_SIZE];
  for (uint32_t i = 1; i <= kMaxDescriptors; ++i) {
    if (Status s = read(joliet, sizeof joliet,
                        uint64_t{ISO_DESCRIPTOR_SECTOR + i} * ISO_SECTOR_SIZE, &got);
        !s.isOk())
      return s;
    if (got < sizeof joliet || !isDescriptor(joliet) || joliet[0] == 255) break;
    if (isJoliet(joliet) && little16(joliet + 128) == ISO_SECTOR_SIZE) {
      volume->joliet = true;
      break;
    }
  }

  if (Status s =
          TreeReader(read, imageSize, false, oddities).readTree(primary + 156, &volume->files);
      !s.isOk())
    return s;
  if (volume->joliet) {
    volume->primaryFiles = std::move(volume->files);
    volume->files.clear();
    Problems jolietOddities;
    if (Status s = TreeReader(read, imageSize, true, &jolietOddities)
                       .readTree(joliet + 156, &volume->files);
        !s.isOk())
      return s;
    for (const std::string& line : jolietOddities.lines()) oddities->add("Joliet " + line);
  }
  return Status::ok();
}

Status readIsoVolume(const SectorImage& image, IsoVolume* volume, Problems* oddities) {
  const IsoReader read = [&image](uint8_t* into, size_t length, uint64_t offset, size_t* got) {
    return image.read(into, length, offset, got);
  };
  return readIsoVolume(read, image.size(), volume, oddities);
}

Status findIsoFile(const IsoVolume& volume, std::string_view path, const IsoFile** file) {
  const std::string key = pathKey(path);
  if (key.empty()) return Status::invalid("is the root folder, not a file");
  for (const std::vector<IsoFile>* list : {&volume.files, &volume.primaryFiles}) {
    for (const IsoFile& candidate : *list) {
      if (pathKey(candidate.path) != key) continue;
      if (candidate.folder) return Status::invalid("is a folder of the disc, not a file");
      *file = &candidate;
      return Status::ok();
    }
  }
  return Status::notFound("no such file in the disc's ISO 9660 file system");
}

}  // namespace orvex
