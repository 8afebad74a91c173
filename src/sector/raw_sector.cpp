#include "raw_sector.h"

#include <array>
#include <cstring>

namespace orvex {
namespace {

constexpr uint8_t kSync[SYNC_SIZE] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

constexpr size_t kHeaderAt = 12;
constexpr size_t kModeAt = 15;
constexpr size_t kSubheaderAt = 16;
constexpr uint8_t kForm2Bit = 0x20;

constexpr size_t kMode1EdcAt = 2064;
constexpr size_t kForm1EdcAt = 2072;
constexpr size_t kForm2EdcAt = 2348;
constexpr size_t kParityAt = 2076;  // P: 172 bytes, then Q: 104 bytes
constexpr size_t kPParitySize = 172;
constexpr size_t kQParitySize = 104;

// The reflected form of 0x8001801B.
constexpr uint32_t kEdcPolynomial = 0xD8018001u;

constexpr std::array<uint32_t, 256> edcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t edc = i;
    for (int bit = 0; bit < 8; ++bit) edc = (edc >> 1) ^ ((edc & 1) ? kEdcPolynomial : 0);
    table[i] = edc;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kEdcTable = edcTable();

// GF(2^8) with the field polynomial x^8 + x^4 + x^3 + x^2 + 1: multiplying by
// alpha, and dividing by (alpha + 1).
struct Field {
  std::array<uint8_t, 256> timesAlpha{};
  std::array<uint8_t, 256> overAlphaPlusOne{};
};
constexpr Field makeField() {
  Field field;
  for (uint32_t i = 0; i < 256; ++i) {
    const uint32_t doubled = (i << 1) ^ ((i & 0x80) ? 0x11D : 0);
    field.timesAlpha[i] = static_cast<uint8_t>(doubled);
    field.overAlphaPlusOne[i ^ doubled] = static_cast<uint8_t>(i);
  }
  return field;
}
constexpr Field kField = makeField();

// The parity of one code (P or Q) over the bytes from byte 12: the bytes
// form two planes (even and odd bytes) of 2-byte words; each vector takes
// count bytes of one plane, step bytes apart, wrapping at size, and gets two
// parity bytes, at parity[vector] and parity[vector + vectors].
void computeParity(const uint8_t* from12, size_t vectors, size_t count, size_t startStep,
                   size_t step, size_t size, uint8_t* parity) {
  for (size_t vector = 0; vector < vectors; ++vector) {
    size_t index = (vector >> 1) * startStep + (vector & 1);
    uint8_t weighted = 0, sum = 0;
    for (size_t i = 0; i < count; ++i) {
      const uint8_t byte = from12[index];
      index += step;
      if (index >= size) index -= size;
      weighted = kField.timesAlpha[weighted ^ byte];
      sum ^= byte;
    }
    const uint8_t first = kField.overAlphaPlusOne[kField.timesAlpha[weighted] ^ sum];
    parity[vector] = first;
    parity[vector + vectors] = first ^ sum;
  }
}

// P parity: 86 vectors down the columns of 24 rows of 43 words; Q parity: 52
// vectors along the diagonals of those rows and the P parity's.
void computeEcc(const uint8_t* sector, uint8_t* p, uint8_t* q) {
  const uint8_t* from12 = sector + kHeaderAt;
  computeParity(from12, 86, 24, 2, 86, 2064 + kPParitySize, p);
  computeParity(from12, 52, 43, 86, 88, 2064 + kPParitySize, q);
}

uint8_t bcd(uint32_t value) { return static_cast<uint8_t>(((value / 10) << 4) | (value % 10)); }

bool fromBcd(uint8_t byte, uint32_t* value) {
  if ((byte >> 4) > 9 || (byte & 15) > 9) return false;
  *value = (byte >> 4) * 10u + (byte & 15u);
  return true;
}

void storeLittleEndian(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t loadLittleEndian(const uint8_t* at) {
  return at[0] | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) | (uint32_t{at[3]} << 24);
}

// The sector's P and Q as they should be (Q covers P, so P is computed in
// place first), with the header zeroed first in Mode 2.
void expectedParity(const uint8_t* sector, SectorMode mode, uint8_t* parity) {
  uint8_t copy[RAW_SECTOR_SIZE];
  std::memcpy(copy, sector, RAW_SECTOR_SIZE);
  if (mode == SectorMode::kMode2Form1) std::memset(copy + kHeaderAt, 0, 4);
  computeEcc(copy, copy + kParityAt, copy + kParityAt + kPParitySize);
  std::memcpy(parity, copy + kParityAt, kPParitySize + kQParitySize);
}

}  // namespace

bool hasSync(const uint8_t* sector) { return std::memcmp(sector, kSync, SYNC_SIZE) == 0; }

SectorMode sectorMode(const uint8_t* sector) {
  switch (sector[kModeAt]) {
    case 1:
      return SectorMode::kMode1;
    case 2:
      return (sector[kSubheaderAt + 2] & kForm2Bit) ? SectorMode::kMode2Form2
                                                    : SectorMode::kMode2Form1;
    default:
      return SectorMode::kOther;
  }
}

size_t dataOffset(SectorMode mode) {
  return mode == SectorMode::kMode2Form1 || mode == SectorMode::kMode2Form2 ? 24 : 16;
}

uint32_t sectorEdc(const uint8_t* bytes, size_t length) {
  uint32_t edc = 0;
  for (size_t i = 0; i < length; ++i) edc = (edc >> 8) ^ kEdcTable[(edc ^ bytes[i]) & 0xFF];
  return edc;
}

void writeHeader(uint8_t* sector, uint32_t lba, uint8_t mode) {
  std::memcpy(sector, kSync, SYNC_SIZE);
  const uint32_t frames = lba + ADDRESS_LEAD_FRAMES;
  sector[kHeaderAt] = bcd(frames / (75 * 60));
  sector[kHeaderAt + 1] = bcd(frames / 75 % 60);
  sector[kHeaderAt + 2] = bcd(frames % 75);
  sector[kModeAt] = mode;
}

bool headerAddress(const uint8_t* sector, uint32_t* lba) {
  uint32_t minutes = 0, seconds = 0, frames = 0;
  if (!fromBcd(sector[kHeaderAt], &minutes) || !fromBcd(sector[kHeaderAt + 1], &seconds) ||
      !fromBcd(sector[kHeaderAt + 2], &frames) || seconds >= 60 || frames >= 75)
    return false;
  const uint32_t address = (minutes * 60 + seconds) * 75 + frames;
  if (address < ADDRESS_LEAD_FRAMES) return false;
  *lba = address - ADDRESS_LEAD_FRAMES;
  return true;
}

void sealSector(uint8_t* sector, SectorMode mode) {
  switch (mode) {
    case SectorMode::kMode1:
      storeLittleEndian(sector + kMode1EdcAt, sectorEdc(sector, kMode1EdcAt));
      std::memset(sector + kMode1EdcAt + 4, 0, 8);
      expectedParity(sector, mode, sector + kParityAt);
      break;
    case SectorMode::kMode2Form1:
      storeLittleEndian(sector + kForm1EdcAt,
                        sectorEdc(sector + kSubheaderAt, kForm1EdcAt - kSubheaderAt));
      expectedParity(sector, mode, sector + kParityAt);
      break;
    case SectorMode::kMode2Form2:
      storeLittleEndian(sector + kForm2EdcAt,
                        sectorEdc(sector + kSubheaderAt, kForm2EdcAt - kSubheaderAt));
      break;
    case SectorMode::kOther:
      break;
  }
}

SectorCheck checkSector(const uint8_t* sector, uint32_t expectedLba) {
  SectorCheck check;
  uint32_t lba = 0;
  const SectorMode mode = sectorMode(sector);
  check.header = hasSync(sector) && mode != SectorMode::kOther && headerAddress(sector, &lba) &&
                 lba == expectedLba;
  switch (mode) {
    case SectorMode::kMode1:
      check.edc = loadLittleEndian(sector + kMode1EdcAt) == sectorEdc(sector, kMode1EdcAt);
      break;
    case SectorMode::kMode2Form1:
      check.edc = loadLittleEndian(sector + kForm1EdcAt) ==
                  sectorEdc(sector + kSubheaderAt, kForm1EdcAt - kSubheaderAt);
      break;
    case SectorMode::kMode2Form2: {
      // A Form 2 sector may carry no EDC at all: a zero field is not wrong.
      const uint32_t stored = loadLittleEndian(sector + kForm2EdcAt);
      check.edc = stored == 0 || stored == sectorEdc(sector + kSubheaderAt,
                                                     kForm2EdcAt - kSubheaderAt);
      break;
    }
    case SectorMode::kOther:
      break;
  }
  if (mode == SectorMode::kMode1 || mode == SectorMode::kMode2Form1) {
    uint8_t parity[kPParitySize + kQParitySize];
    expectedParity(sector, mode, parity);
    check.ecc = std::memcmp(parity, sector + kParityAt, sizeof parity) == 0;
  }
  return check;
}

}  // namespace orvex
