// Raw 2352-byte CD-ROM sectors: their layout, and the error-detection
// (EDC) and error-correction (ECC) codes they carry.
//
// A data sector starts with 12 bytes of sync (00, ten FF, 00) and a header:
// its address as minutes, seconds and frames in BCD (the LBA plus 150
// frames, 75 to a second) and its mode. Mode 1 holds 2048 bytes of data at
// byte 16, then the EDC over bytes 0-2063, 8 zero bytes and the P and Q
// parity over bytes 12-2247. Mode 2 has an 8-byte subheader at 16 (the
// same 4 bytes twice; bit 5 of the third, "submode", marks Form 2): Form 1
// holds 2048 bytes at 24, the EDC over bytes 16-2071 and P and Q computed
// with the header taken as zero; Form 2 holds 2324 bytes at 24 and an EDC
// over bytes 16-2347 (0 where the disc did not compute one).
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvex {

constexpr size_t RAW_SECTOR_SIZE = 2352;
constexpr size_t SYNC_SIZE = 12;
// Frames before LBA 0: the two-second lead-in every address counts.
constexpr uint32_t ADDRESS_LEAD_FRAMES = 150;

enum class SectorMode : uint8_t {
  kMode1,
  kMode2Form1,
  kMode2Form2,
  kOther,  // mode 0 (empty) or a mode byte that is neither 1 nor 2
};

// Whether the sector starts with the sync pattern.
bool hasSync(const uint8_t* sector);
// The mode the header and subheader give.
SectorMode sectorMode(const uint8_t* sector);
// Where its 2048 bytes of data start: 16 in Mode 1, 24 in Mode 2 (in Form 2
// the first 2048 of its 2324), 16 otherwise.
size_t dataOffset(SectorMode mode);

// The CRC the EDC field holds (ECMA-130 polynomial
// (x^16 + x^15 + x^2 + 1)(x^16 + x^2 + x + 1), least significant bit first).
uint32_t sectorEdc(const uint8_t* bytes, size_t length);

// Writes sync and header for the sector at lba in mode (1 or 2).
void writeHeader(uint8_t* sector, uint32_t lba, uint8_t mode);
// The LBA the header's address gives; false when it is not valid BCD.
bool headerAddress(const uint8_t* sector, uint32_t* lba);

// Computes and stores the EDC (and for Mode 1 and Mode 2 Form 1 the P and Q
// parity) of a sector whose sync, header, subheader and data are in place.
void sealSector(uint8_t* sector, SectorMode mode);

// What of a sector is as its own codes and address say it should be.
struct SectorCheck {
  bool header = true;  // sync, a valid address equal to the expected one, mode 1 or 2
  bool edc = true;
  bool ecc = true;  // P and Q (Mode 1 and Mode 2 Form 1 only)
  bool right() const { return header && edc && ecc; }
};
SectorCheck checkSector(const uint8_t* sector, uint32_t expectedLba);

}  // namespace orvex
