#include "cue_sheet.h"

#include <cctype>
#include <cstdlib>
#include <optional>

namespace orvex {
namespace {

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The next word of line from *at: a quoted string (without its quotes) or a
// run of non-blanks.
std::string nextWord(std::string_view line, size_t* at) {
  while (*at < line.size() && std::isspace(static_cast<unsigned char>(line[*at]))) ++*at;
  if (*at >= line.size()) return {};
  if (line[*at] == '"') {
    const size_t close = line.find('"', *at + 1);
    const size_t end = close == std::string_view::npos ? line.size() : close;
    std::string word(line.substr(*at + 1, end - *at - 1));
    *at = end == line.size() ? end : end + 1;
    return word;
  }
  const size_t start = *at;
  while (*at < line.size() && !std::isspace(static_cast<unsigned char>(line[*at]))) ++*at;
  return std::string(line.substr(start, *at - start));
}

// mm:ss:ff as a count of sectors (75 to a second).
std::optional<uint64_t> parseTime(const std::string& text) {
  unsigned minutes = 0, seconds = 0, frames = 0;
  size_t parts = 0, value = 0, digits = 0;
  unsigned* fields[3] = {&minutes, &seconds, &frames};
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ':') {
      if (digits == 0 || parts >= 3) return std::nullopt;
      *fields[parts++] = static_cast<unsigned>(value);
      value = digits = 0;
    } else if (std::isdigit(static_cast<unsigned char>(text[i])) && digits < 6) {
      value = value * 10 + static_cast<size_t>(text[i] - '0');
      ++digits;
    } else {
      return std::nullopt;
    }
  }
  if (parts != 3 || seconds >= 60 || frames >= 75) return std::nullopt;
  return (uint64_t{minutes} * 60 + seconds) * 75 + frames;
}

uint32_t sectorSizeOf(const std::string& mode) {
  if (mode == "AUDIO" || mode == "MODE1/2352" || mode == "MODE2/2352" || mode == "CDI/2352")
    return 2352;
  if (mode == "MODE1/2048" || mode == "MODE2/2048") return 2048;
  if (mode == "MODE2/2336" || mode == "CDI/2336") return 2336;
  if (mode == "CDG") return 2448;
  return 0;
}

Status lineError(size_t number, const std::string& what) {
  return Status::invalid("cue sheet line " + std::to_string(number) + ": " + what);
}

}  // namespace

bool CueTrack::data() const {
  return mode == "MODE1/2352" || mode == "MODE2/2352" || mode == "MODE1/2048";
}

Status parseCueSheet(std::string_view text, CueSheet* sheet) {
  *sheet = {};
  std::vector<bool> has00, has01;
  size_t lineNumber = 0;
  size_t start = 0;
  // A byte-order mark some editors put first.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") start = 3;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t at = 0;
    const std::string command = upper(nextWord(line, &at));
    if (command == "FILE") {
      std::string name = nextWord(line, &at);
      if (name.empty()) return lineError(lineNumber, "FILE names no file");
      sheet->files.push_back(std::move(name));
    } else if (command == "TRACK") {
      if (sheet->files.empty()) return lineError(lineNumber, "TRACK before any FILE");
      const std::string number = nextWord(line, &at);
      CueTrack track;
      track.number = std::atoi(number.c_str());
      track.mode = upper(nextWord(line, &at));
      track.file = sheet->files.size() - 1;
      track.sectorSize = sectorSizeOf(track.mode);
      sheet->tracks.push_back(std::move(track));
      has00.push_back(false);
      has01.push_back(false);
    } else if (command == "INDEX") {
      if (sheet->tracks.empty()) return lineError(lineNumber, "INDEX before any TRACK");
      const int number = std::atoi(nextWord(line, &at).c_str());
      const std::string time = nextWord(line, &at);
      const std::optional<uint64_t> sectors = parseTime(time);
      if (!sectors) return lineError(lineNumber, "'" + time + "' is not a time mm:ss:ff");
      CueTrack& track = sheet->tracks.back();
      if (number == 0) {
        track.start00 = *sectors;
        has00.back() = true;
      }
      if (number == 1) {
        track.start01 = *sectors;
        has01.back() = true;
      }
    }
    // REM, CATALOG, TITLE, PERFORMER, PREGAP, POSTGAP, FLAGS, ISRC and the
    // like say nothing about where the data lies.
  }
  if (sheet->files.empty()) return Status::invalid("the cue sheet names no FILE");
  if (sheet->tracks.empty()) return Status::invalid("the cue sheet has no TRACK");
  for (size_t i = 0; i < sheet->tracks.size(); ++i) {
    if (!has01[i])
      return Status::invalid("track " + std::to_string(sheet->tracks[i].number) +
                             " of the cue sheet has no INDEX 01");
    // A track without INDEX 00 starts at its INDEX 01.
    if (!has00[i]) sheet->tracks[i].start00 = sheet->tracks[i].start01;
  }
  return Status::ok();
}

const CueTrack* firstDataTrack(const CueSheet& sheet) {
  for (const CueTrack& track : sheet.tracks)
    if (track.data()) return &track;
  return nullptr;
}

uint64_t boundedSectors(const CueSheet& sheet, size_t trackIndex) {
  const CueTrack& track = sheet.tracks[trackIndex];
  if (trackIndex + 1 >= sheet.tracks.size()) return 0;
  const CueTrack& next = sheet.tracks[trackIndex + 1];
  if (next.file != track.file || next.start00 <= track.start01) return 0;
  return next.start00 - track.start01;
}

}  // namespace orvex
