// The ISO 9660 reader on a small file system built by hand, and on the
// damage a hostile image can hold. Joliet names and the files xorriso writes
// are read in tests/disc_program_test.cpp.
#include "iso9660.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace orvex {
namespace {

// Sector 16 the primary descriptor, 17 the terminator, 18 the root folder
// (DIR and INDEX.BIN;1), 19 the folder DIR (FILE.;1), 20 and 21 the files.
class HandMadeIso {
 public:
  HandMadeIso() : bytes(24 * ISO_SECTOR_SIZE) {
    uint8_t* primary = sector(16);
    primary[0] = 1;
    std::memcpy(primary + 1, "CD001\1", 6);
    std::memcpy(primary + 40, "HANDMADE                        ", 32);
    both32(primary + 80, 24);
    both16(primary + 128, ISO_SECTOR_SIZE);
    record(primary + 156, 18, ISO_SECTOR_SIZE, 0x02, std::string(1, '\0'));
    sector(17)[0] = 255;
    std::memcpy(sector(17) + 1, "CD001\1", 6);
    uint8_t* root = folder(18, 18);
    root += record(root, 19, ISO_SECTOR_SIZE, 0x02, "DIR");
    record(root, 20, 32, 0, "INDEX.BIN;1");
    record(folder(19, 18), 21, 5, 0, "FILE.;1");
  }

  uint8_t* sector(size_t n) { return bytes.data() + n * ISO_SECTOR_SIZE; }
  // The first record of DIR in the root folder.
  uint8_t* dirRecord() { return sector(18) + 2 * 34; }

  Status read(IsoVolume* volume, Problems* oddities) const {
    const IsoReader reader = [this](uint8_t* into, size_t length, uint64_t offset, size_t* got) {
      *got = offset < bytes.size() ? std::min<size_t>(length, bytes.size() - offset) : 0;
      std::memcpy(into, bytes.data() + offset, *got);
      return Status::ok();
    };
    return readIsoVolume(reader, bytes.size(), volume, oddities);
  }

  std::vector<uint8_t> bytes;

 private:
  static void both16(uint8_t* p, uint16_t v) {
    p[0] = p[3] = static_cast<uint8_t>(v);
    p[1] = p[2] = static_cast<uint8_t>(v >> 8);
  }
  static void both32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = p[7 - i] = static_cast<uint8_t>(v >> (8 * i));
  }
  static size_t record(uint8_t* p, uint32_t extent, uint32_t size, uint8_t flags,
                       const std::string& id) {
    const size_t length = (33 + id.size() + 1) & ~size_t{1};
    p[0] = static_cast<uint8_t>(length);
    both32(p + 2, extent);
    both32(p + 10, size);
    p[25] = flags;
    both16(p + 28, 1);
    p[32] = static_cast<uint8_t>(id.size());
    std::memcpy(p + 33, id.data(), id.size());
    return length;
  }
  // A folder's records at sector n: itself and its parent.
  uint8_t* folder(size_t n, uint32_t parent) {
    uint8_t* p = sector(n);
    p += record(p, static_cast<uint32_t>(n), ISO_SECTOR_SIZE, 0x02, std::string(1, '\0'));
    p += record(p, parent, ISO_SECTOR_SIZE, 0x02, std::string(1, '\1'));
    return p;
  }
};

struct IsoCase {
  const char* what;
  std::function<void(HandMadeIso&)> damage;
  const char* path;
  Status::Code code;
  uint32_t sector;     // of the file found
  const char* oddity;  // a part of the one oddity reported, or "" for none
};

TEST(Iso9660, FindsFilesAndRefusesWhatItCannotUse) {
  auto none = [](HandMadeIso&) {};
  const IsoCase cases[] = {
      {"a name in another case, no version", none, "index.bin", Status::Code::kOk, 20, ""},
      {"a name without extension, in a folder", none, "\\dir\\FILE;1", Status::Code::kOk, 21, ""},
      {"no such file", none, "/dir/index.bin", Status::Code::kNotFound, 0, ""},
      {"a folder", none, "/DIR/", Status::Code::kInvalid, 0, ""},
      {"no primary descriptor",
       [](HandMadeIso& iso) { std::memset(iso.sector(16), 0, ISO_SECTOR_SIZE); }, "/INDEX.BIN",
       Status::Code::kInvalid, 0, ""},
      {"512-byte blocks", [](HandMadeIso& iso) { iso.sector(16)[129] = 2; }, "/INDEX.BIN",
       Status::Code::kInvalid, 0, ""},
      {"a folder that is the root again: entered once",
       [](HandMadeIso& iso) { iso.dirRecord()[2] = 18; }, "/INDEX.BIN", Status::Code::kOk, 20,
       "already read"},
      {"a folder past the image's end", [](HandMadeIso& iso) { iso.dirRecord()[3] = 1; },
       "/DIR/FILE", Status::Code::kNotFound, 0, "past the end"},
      {"a record shorter than its fields", [](HandMadeIso& iso) { iso.dirRecord()[0] = 20; },
       "/INDEX.BIN", Status::Code::kNotFound, 0, "breaks the format"},
      {"a file past the image's end", [](HandMadeIso& iso) { iso.sector(19)[68 + 10 + 2] = 9; },
       "/DIR/FILE", Status::Code::kOk, 21, "/DIR/FILE: its data runs past the end"},
  };
  for (const IsoCase& c : cases) {
    SCOPED_TRACE(c.what);
    HandMadeIso iso;
    c.damage(iso);
    IsoVolume volume;
    Problems oddities;
    Status status = iso.read(&volume, &oddities);
    const IsoFile* file = nullptr;
    if (status.isOk()) {
      EXPECT_EQ(volume.name, "HANDMADE");
      status = findIsoFile(volume, c.path, &file);
    }
    EXPECT_EQ(status.code(), c.code) << status.message();
    if (status.isOk()) {
      EXPECT_EQ(file->sector, c.sector);
    }
    if (*c.oddity == '\0') {
      EXPECT_TRUE(oddities.empty()) << oddities.lines().front();
    } else {
      ASSERT_EQ(oddities.size(), 1u);
      EXPECT_NE(oddities.lines()[0].find(c.oddity), std::string::npos) << oddities.lines()[0];
    }
  }
}

}  // namespace
}  // namespace orvex
