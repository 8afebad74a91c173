// Cue sheets: the text file that names a raw image's data files and the
// tracks in them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "status.h"

namespace orvex {

struct CueTrack {
  int number = 0;
  std::string mode;        // as written: "MODE1/2352", "MODE2/2352", "MODE1/2048", "AUDIO", ...
  size_t file = 0;         // index into CueSheet::files
  uint32_t sectorSize = 0; // bytes per sector of its file: 2352, 2048, ... (0: unknown mode)
  // Where its INDEX 00 and 01 lie in its file, in sectors; start00 equals
  // start01 when it has no INDEX 00.
  uint64_t start00 = 0, start01 = 0;
  bool data() const;  // MODE1/2352, MODE2/2352 or MODE1/2048
};

struct CueSheet {
  std::vector<std::string> files;  // as the sheet writes them
  std::vector<CueTrack> tracks;    // in the sheet's order
};

// Parses a cue sheet's text. kInvalid, saying what and on which line, for a
// sheet that cannot be used: no FILE, a TRACK before any FILE, an INDEX
// before any TRACK, a time that is not mm:ss:ff, no track, or none with an
// INDEX 01.
Status parseCueSheet(std::string_view text, CueSheet* sheet);

// The first data track, or nullptr.
const CueTrack* firstDataTrack(const CueSheet& sheet);

// The sectors of the track, when the next track in the same file bounds it
// (its INDEX 00, else 01); 0 when the track runs to the file's end.
uint64_t boundedSectors(const CueSheet& sheet, size_t trackIndex);

}  // namespace orvex
