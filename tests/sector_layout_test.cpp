// Raw sectors as the sector reader sees them: layouts, addresses, and codes
// checked against a second EDC computed bit by bit from its polynomial and,
// for the ECC, against chdman, which drops the ECC of every sector whose ECC
// it finds right.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "disc_content.h"
#include "program.h"
#include "raw_image.h"
#include "sector_image.h"

namespace orvex {
namespace {

using testing::RawImageOptions;
using testing::Spoil;
using Bytes = std::vector<uint8_t>;

// Carry-less product of two polynomials over GF(2).
uint64_t polynomialProduct(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  for (int bit = 0; bit < 32; ++bit)
    if ((b >> bit) & 1) product ^= a << bit;
  return product;
}

// The EDC as the remainder of the message (each byte's bits least
// significant first, the first bit the highest power) times x^32, divided
// by (x^16 + x^15 + x^2 + 1)(x^16 + x^2 + x + 1), one bit at a time; the
// field stores x^31's coefficient in its lowest bit.
uint32_t edcBitByBit(const uint8_t* bytes, size_t length) {
  const uint64_t generator = polynomialProduct((1u << 16) | (1u << 15) | (1u << 2) | 1u,
                                               (1u << 16) | (1u << 2) | (1u << 1) | 1u);
  EXPECT_EQ(generator >> 32, 1u);
  const uint32_t low = static_cast<uint32_t>(generator);
  uint32_t remainder = 0;
  for (size_t i = 0; i < length; ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      const uint32_t in = (bytes[i] >> bit) & 1;
      const uint32_t top = remainder >> 31;
      remainder <<= 1;
      if (top ^ in) remainder ^= low;
    }
  }
  uint32_t reflected = 0;
  for (int bit = 0; bit < 32; ++bit) reflected |= ((remainder >> bit) & 1) << (31 - bit);
  return reflected;
}

uint32_t storedEdc(const uint8_t* at) {
  return at[0] | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) | (uint32_t{at[3]} << 24);
}

// Minutes, seconds and frames of an address in BCD.
std::vector<uint8_t> bcdAddress(uint32_t lba) {
  const uint32_t frames = lba + 150;
  const auto bcd = [](uint32_t v) { return static_cast<uint8_t>((v / 10) * 16 + v % 10); };
  return {bcd(frames / 75 / 60), bcd(frames / 75 % 60), bcd(frames % 75)};
}

struct Expected {
  bool header = true, edc = true, ecc = true;
};

TEST(SectorLayout, RawImagesReadAsTheirDataAndCheckAsTheirCodesSay) {
  const Bytes plain = testing::noise(4 * 2048 - 100, 7);
  Bytes padded = plain;
  padded.resize(4 * 2048, 0);
  RawImageOptions mode2;
  mode2.mode = SectorMode::kMode2Form1;
  RawImageOptions form2 = mode2;
  form2.form2Sectors = {1};
  RawImageOptions lateMode1;
  lateMode1.firstLba = 4498;  // 01:01:73, then seconds and minutes carry
  const struct Case {
    const char* what;
    RawImageOptions options;
    std::vector<std::pair<uint64_t, Spoil>> spoiled;
    bool cue = false;
    size_t cutBytes = 0;  // bytes cut off the file's end
    bool raw = true;
    uint64_t size = 4 * 2048;
    std::map<uint64_t, Expected> wrong;  // sectors whose check fails
  } cases[] = {
      {"Mode 1", {}, {}, false, 0, true, 4 * 2048, {}},
      {"Mode 1 at addresses that carry", lateMode1, {}, false, 0, true, 4 * 2048, {}},
      {"Mode 2 Form 1 under a cue sheet", mode2, {}, true, 0, true, 4 * 2048, {}},
      {"a Form 2 sector among Form 1 ones", form2, {}, false, 0, true, 4 * 2048, {}},
      {"a bad EDC (the ECC covers it)",
       {},
       {{2, Spoil::kEdc}},
       false,
       0,
       true,
       4 * 2048,
       {{2, {true, false, false}}}},
      {"a bad ECC",
       mode2,
       {{0, Spoil::kEcc}},
       false,
       0,
       true,
       4 * 2048,
       {{0, {true, true, false}}}},
      {"a bad header (Form 1 codes leave it out)",
       mode2,
       {{3, Spoil::kHeader}},
       false,
       0,
       true,
       4 * 2048,
       {{3, {false, true, true}}}},
      {"a cut last sector under a cue sheet",
       {},
       {},
       true,
       1000,
       true,
       3 * 2048 + 2352 - 1000 - 16,
       {}},
      {"a cut last sector alone: a plain image", {}, {}, false, 1000, false, 4 * 2352 - 1000, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    Bytes raw = testing::rawFromPlain(plain, c.options);
    for (const auto& [sector, spoil] : c.spoiled) testing::spoilSector(&raw, sector, spoil);
    const Bytes whole = raw;
    raw.resize(raw.size() - c.cutBytes);
    testing::writeBytes(dir / "disc.bin", raw);
    std::string path = dir / "disc.bin";
    if (c.cue) {
      testing::writeText(dir / "disc.cue", testing::cueSheetFor("disc.bin", 4, c.options));
      path = dir / "disc.cue";
    }

    SectorImage image;
    ASSERT_TRUE(SectorImage::open(io::realFs(), path, &image).isOk());
    EXPECT_EQ(image.raw(), c.raw);
    ASSERT_EQ(image.size(), c.size);
    Bytes read(image.size() + 10);
    size_t got = 0;
    bool anyForm2 = false;
    ASSERT_TRUE(image.read(read.data(), read.size(), 0, &got, &anyForm2).isOk());
    read.resize(got);
    const Bytes expected = c.raw ? Bytes(padded.begin(), padded.begin() + c.size) : raw;
    EXPECT_TRUE(read == expected) << "the data read differs";
    EXPECT_EQ(anyForm2, !c.options.form2Sectors.empty());
    if (!c.raw) continue;
    for (uint64_t i = 0; i < image.rawSectors(); ++i) {
      SCOPED_TRACE("sector " + std::to_string(i));
      bool form2 = false;
      uint8_t one[2048];
      ASSERT_TRUE(image.read(one, sizeof one, i * 2048, &got, &form2).isOk());
      EXPECT_EQ(form2, c.options.form2Sectors.count(i) == 1);

      const uint8_t* sector = whole.data() + i * RAW_SECTOR_SIZE;
      const uint32_t lba = c.options.firstLba + static_cast<uint32_t>(i);
      const SectorCheck check = checkSector(sector, lba);
      const Expected want = c.wrong.count(i) ? c.wrong.at(i) : Expected{};
      EXPECT_EQ(check.header, want.header);
      EXPECT_EQ(check.edc, want.edc);
      EXPECT_EQ(check.ecc, want.ecc);
      if (want.header) {
        EXPECT_EQ(Bytes(sector + 12, sector + 15), bcdAddress(lba));
      }
      if (!want.edc) continue;
      const SectorMode mode = sectorMode(sector);
      const size_t from = mode == SectorMode::kMode1 ? 0 : 16;
      const size_t to = mode == SectorMode::kMode1        ? 2064
                        : mode == SectorMode::kMode2Form1 ? 2072
                                                          : 2348;
      EXPECT_EQ(storedEdc(sector + to), edcBitByBit(sector + from, to - from));
    }
    // The Form 2 sector's user data goes on past the 2048 bytes read.
    for (uint64_t i : c.options.form2Sectors)
      EXPECT_TRUE(Bytes(whole.begin() + i * RAW_SECTOR_SIZE + 24 + 2048,
                        whole.begin() + i * RAW_SECTOR_SIZE + 24 + 2324) == testing::form2Tail(i));
  }
  EXPECT_EQ(bcdAddress(4498), (Bytes{0x01, 0x01, 0x73}));
  EXPECT_EQ(bcdAddress(4500), (Bytes{0x01, 0x02, 0x00}));
}

TEST(SectorLayout, ChdmanFindsTheEccRight) {
  const std::string chdman = testing::findTool("chdman");
  if (chdman.empty()) GTEST_SKIP() << "needs chdman (Debian: mame-tools), missing or on Windows";
  constexpr uint64_t kSectors = 300;
  const Bytes plain = testing::noise(kSectors * 2048, 11);
  for (SectorMode mode : {SectorMode::kMode1, SectorMode::kMode2Form1}) {
    SCOPED_TRACE(mode == SectorMode::kMode1 ? "Mode 1" : "Mode 2 Form 1");
    RawImageOptions options;
    options.mode = mode;
    testing::TempDir dir;
    std::map<std::string, uint64_t> chdSize;
    for (const std::string name : {"right", "wrong"}) {
      Bytes raw = testing::rawFromPlain(plain, options);
      if (name == "wrong")
        for (uint64_t i = 0; i < kSectors; ++i) testing::spoilSector(&raw, i, Spoil::kEcc);
      testing::writeBytes(dir / (name + ".bin"), raw);
      testing::writeText(dir / (name + ".cue"),
                         testing::cueSheetFor(name + ".bin", kSectors, options));
      const testing::ProgramResult r = testing::runProgram(
          chdman, {"createcd", "-i", name + ".cue", "-o", name + ".chd"}, dir.path());
      ASSERT_EQ(r.status, 0) << r.out << r.err;
      chdSize[name] = std::filesystem::file_size(dir / (name + ".chd"));
    }
    // Each sector's 276 parity bytes (of noise: incompressible) are dropped
    // only where they are right.
    EXPECT_GE(chdSize["wrong"], chdSize["right"] + 240 * kSectors)
        << chdSize["right"] << " against " << chdSize["wrong"];
  }
}

}  // namespace
}  // namespace orvex
