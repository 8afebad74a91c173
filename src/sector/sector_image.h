// A disc image read as the 2048-byte sectors of its data: what every command
// reads an image through. A plain image is its own sectors. A raw image
// (2352-byte sectors, a bare .bin or the first data track a cue sheet names)
// is read as the 2048-byte image converting it would give: Mode 1 data from
// byte 16 of each sector, Mode 2 from byte 24 (of a Form 2 sector, the first
// 2048 bytes of its 2324).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cue_sheet.h"
#include "fs.h"
#include "status.h"

namespace orvex {

struct RawTrackFacts {
  int number = 0;
  std::string mode;      // as the cue sheet writes it; "MODE1/2352" or "MODE2/2352" for a bare file
  std::string fileName;  // the file as the sheet names it ("" for a bare file)
  uint64_t sectors = 0;  // whole or cut sectors in the file for the track (0: unknown)
};

class SectorImage {
 public:
  // Opens path for reading: a cue sheet (a name ending in ".cue", any case)
  // opens the data file its first data track names; any other file is raw
  // when each of its first 16 sectors (all, if fewer) starts with the sync
  // pattern and a mode byte of 1 or 2 and its length is a whole number of
  // 2352-byte sectors, else plain. A pipe or a folder is refused; a cue
  // sheet that cannot be used gives kInvalid saying why.
  static Status open(io::Fs& fs, const std::string& path, SectorImage* image);

  bool raw() const { return raw_; }
  io::Fs& fs() const { return *fs_; }
  // The file holding the data, and where its first sector starts in it.
  const io::File& dataFile() const { return file_; }
  uint64_t dataStart() const { return dataStart_; }
  // Bytes of 2048-byte data (a cut last sector counts as far as it goes).
  uint64_t size() const { return size_; }
  // Raw sectors of the data track (whole ones), 0 for a plain image.
  uint64_t rawSectors() const { return rawSectors_; }
  // The tracks the cue sheet lists (the data track alone for a bare raw file).
  const std::vector<RawTrackFacts>& tracks() const { return tracks_; }
  // Whether the data track ends its file (no later track shares the file).
  bool dataTrackEndsFile() const { return dataTrackEndsFile_; }
  const std::string& cuePath() const { return cuePath_; }
  const std::string& dataPath() const { return dataPath_; }

  // Reads length bytes of the 2048-byte image at offset, fewer only where it
  // ends. *form2, when given, is set when a byte came from a Mode 2 Form 2
  // sector. Safe to call from several threads at once.
  Status read(uint8_t* into, size_t length, uint64_t offset, size_t* got,
              bool* form2 = nullptr) const;

 private:
  io::Fs* fs_ = nullptr;
  io::File file_;
  uint64_t dataStart_ = 0;
  uint64_t size_ = 0;
  uint64_t rawSectors_ = 0;
  uint64_t rawCutBytes_ = 0;  // bytes of a cut raw sector after the whole ones
  bool raw_ = false;
  bool dataTrackEndsFile_ = true;
  std::vector<RawTrackFacts> tracks_;
  std::string cuePath_, dataPath_;
};

}  // namespace orvex
