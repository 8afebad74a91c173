#include <algorithm>
#include <cstdio>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "command_line.h"
#include "file_io.h"
#include "iso9660.h"
#include "json_writer.h"
#include "raw_sector.h"
#include "store.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool disc IMAGE [--bad] [--json]\n"
    "\n"
    "Says what a disc image is: plain (2048-byte sectors) or raw (2352-byte\n"
    "sectors), the tracks and their modes (from the cue sheet, or the one a bare raw\n"
    "file holds), the data track's sectors by mode and form, the sector holding the\n"
    "BOOT2 marker, the ISO 9660 volume's name and every file in it with the sector\n"
    "its data starts at and its size in bytes (the path to give --index-in-image),\n"
    "and how many raw sectors have a header, EDC or ECC that does not match.\n"
    "Nothing is written.\n"
    "\n"
    "  --bad       also list each such sector and what of it does not match\n"
    "  --json      print one JSON document instead of text\n"
    "  -h, --help  show this help\n"
    "\n"
    "Exit status: 0 when the image was read; 1 when it cannot be; 2 on bad usage.\n";

const CommandSpec kCommand{"disc", kUsage, {{"--bad"}, kJsonOption}};

// Raw sectors read at once while checking them.
constexpr size_t kBatchSectors = 64;

struct BadSector {
  uint64_t sector;
  SectorCheck check;
};

struct SectorTally {
  uint64_t mode1 = 0, form1 = 0, form2 = 0, other = 0;
  uint64_t badHeader = 0, badEdc = 0, badEcc = 0;
  std::vector<BadSector> bad;
};

struct DiscFacts {
  SectorTally tally;
  std::optional<uint32_t> bootSector;
  std::optional<IsoVolume> volume;
  std::string noVolume;  // why there is none
  Problems isoOddities;
};

bool isDataMode(const std::string& mode) {
  return mode == "MODE1/2352" || mode == "MODE2/2352" || mode == "MODE1/2048";
}

// The address the data track's first sector holds: its place in its file
// when every track before it is in the same file, else (a file's sectors
// counting after those of the files before it, whose lengths the sheet does
// not give) what its own header says.
uint32_t firstAddress(const SectorImage& image, const uint8_t* firstSector) {
  const uint32_t inFile = static_cast<uint32_t>(image.dataStart() / RAW_SECTOR_SIZE);
  const std::vector<RawTrackFacts>& tracks = image.tracks();
  const auto data = std::find_if(tracks.begin(), tracks.end(),
                                 [](const RawTrackFacts& t) { return isDataMode(t.mode); });
  if (data == tracks.end()) return inFile;
  const bool sameFile = std::all_of(
      tracks.begin(), data, [&](const RawTrackFacts& t) { return t.fileName == data->fileName; });
  uint32_t lba = inFile;
  if (!sameFile && headerAddress(firstSector, &lba)) return lba;
  return inFile;
}

// Counts the raw data track's sectors by mode and checks each one's header,
// EDC and ECC.
Status tallySectors(const SectorImage& image, SectorTally* tally) {
  std::vector<uint8_t> batch(kBatchSectors * RAW_SECTOR_SIZE);
  uint32_t address = 0;
  for (uint64_t first = 0; first < image.rawSectors(); first += kBatchSectors) {
    const size_t count =
        static_cast<size_t>(std::min<uint64_t>(kBatchSectors, image.rawSectors() - first));
    size_t got = 0;
    if (Status s = io::readAt(image.fs(), image.dataFile(), batch.data(), count * RAW_SECTOR_SIZE,
                              image.dataStart() + first * RAW_SECTOR_SIZE, &got);
        !s.isOk())
      return s;
    if (got != count * RAW_SECTOR_SIZE) return Status::damaged("the image ended while read");
    if (first == 0) address = firstAddress(image, batch.data());
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* sector = batch.data() + i * RAW_SECTOR_SIZE;
      switch (sectorMode(sector)) {
        case SectorMode::kMode1:
          ++tally->mode1;
          break;
        case SectorMode::kMode2Form1:
          ++tally->form1;
          break;
        case SectorMode::kMode2Form2:
          ++tally->form2;
          break;
        case SectorMode::kOther:
          ++tally->other;
          break;
      }
      const SectorCheck check = checkSector(sector, address + static_cast<uint32_t>(first + i));
      if (check.right()) continue;
      tally->badHeader += check.header ? 0 : 1;
      tally->badEdc += check.edc ? 0 : 1;
      tally->badEcc += check.ecc ? 0 : 1;
      tally->bad.push_back({first + i, check});
    }
  }
  return Status::ok();
}

// What of a sector does not match, as "header, EDC".
std::string mismatches(const SectorCheck& check) {
  std::string text;
  for (const auto& [right, name] : {std::pair{check.header, "header"}, std::pair{check.edc, "EDC"},
                                    std::pair{check.ecc, "ECC"}}) {
    if (right) continue;
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

uint64_t dataSectors(const SectorImage& image) {
  return image.raw() ? image.rawSectors() : (image.size() + ISO_SECTOR_SIZE - 1) / ISO_SECTOR_SIZE;
}

void writeText(const std::string& path, const SectorImage& image, const DiscFacts& facts,
               bool listBad, std::ostream& out) {
  out << "image: " << path << '\n';
  if (!image.cuePath().empty()) out << "data file: " << image.dataPath() << '\n';
  out << "kind: " << (image.raw() ? "raw (2352-byte sectors)" : "plain (2048-byte sectors)")
      << '\n';
  if (!image.tracks().empty()) {
    out << "tracks:\n";
    for (const RawTrackFacts& track : image.tracks()) {
      out << "  " << track.number << "  " << track.mode << "  " << track.sectors << " sectors";
      if (!track.fileName.empty()) out << "  " << track.fileName;
      out << '\n';
    }
  }
  const SectorTally& tally = facts.tally;
  out << "data sectors: " << dataSectors(image);
  if (image.raw())
    out << " (Mode 1 " << tally.mode1 << ", Mode 2 Form 1 " << tally.form1 << ", Mode 2 Form 2 "
        << tally.form2 << ", other " << tally.other << ")";
  out << '\n';
  out << "BOOT2 marker: "
      << (facts.bootSector ? "sector " + std::to_string(*facts.bootSector)
                           : std::string("none in sectors 0 to 299"))
      << '\n';
  if (facts.volume) {
    const IsoVolume& volume = *facts.volume;
    out << "ISO 9660 volume: " << (volume.name.empty() ? "(no name)" : volume.name)
        << (volume.joliet ? " (Joliet names)" : "") << '\n';
    char line[64];
    std::snprintf(line, sizeof line, "  %10s  %12s  ", "sector", "bytes");
    out << line << "path\n";
    for (const IsoFile& file : volume.files) {
      std::snprintf(line, sizeof line, "  %10u  %12llu  ", file.sector,
                    static_cast<unsigned long long>(file.size));
      out << line << file.path << (file.folder ? "/" : "") << '\n';
    }
  } else {
    out << "ISO 9660 volume: none (" << facts.noVolume << ")\n";
  }
  if (!image.raw()) {
    out << "bad sectors: none checked (a plain image holds no headers, EDC or ECC)\n";
    return;
  }
  out << "bad sectors: " << tally.bad.size();
  if (!tally.bad.empty())
    out << " (header " << tally.badHeader << ", EDC " << tally.badEdc << ", ECC " << tally.badEcc
        << ")";
  out << '\n';
  if (listBad)
    for (const BadSector& bad : tally.bad)
      out << "  sector " << bad.sector << ": " << mismatches(bad.check) << '\n';
}

void writeJson(const std::string& path, const SectorImage& image, const DiscFacts& facts,
               bool listBad, std::ostream& out) {
  JsonWriter json(out);
  json.beginObject(JsonWriter::Layout::kLines);
  json.key("image").value(path);
  json.key("cueSheet").valueOrNull(image.cuePath());
  json.key("dataFile").value(image.dataPath());
  json.key("raw").value(image.raw());
  json.key("tracks").beginArray(JsonWriter::Layout::kLines);
  for (const RawTrackFacts& track : image.tracks()) {
    json.beginObject();
    json.key("number").value(track.number).key("mode").value(track.mode);
    json.key("file").valueOrNull(track.fileName).key("sectors").value(track.sectors);
    json.endObject();
  }
  json.endArray();
  const SectorTally& tally = facts.tally;
  json.key("sectors").beginObject();
  json.key("data").value(dataSectors(image));
  if (image.raw()) {
    json.key("mode1").value(tally.mode1).key("mode2Form1").value(tally.form1);
    json.key("mode2Form2").value(tally.form2).key("other").value(tally.other);
  }
  json.endObject();
  json.key("bootSector");
  if (facts.bootSector)
    json.value(*facts.bootSector);
  else
    json.null();
  json.key("iso9660");
  if (facts.volume) {
    json.beginObject(JsonWriter::Layout::kLines);
    json.key("volume").value(facts.volume->name).key("joliet").value(facts.volume->joliet);
    json.key("files").beginArray(JsonWriter::Layout::kLines);
    for (const IsoFile& file : facts.volume->files) {
      json.beginObject();
      json.key("path").value(file.path).key("folder").value(file.folder);
      json.key("sector").value(file.sector).key("size").value(file.size);
      json.endObject();
    }
    json.endArray();
    json.endObject();
  } else {
    json.null();
  }
  json.key("badSectors");
  if (image.raw()) {
    json.beginObject(JsonWriter::Layout::kLines);
    json.key("count").value(tally.bad.size());
    json.key("header").value(tally.badHeader).key("edc").value(tally.badEdc);
    json.key("ecc").value(tally.badEcc);
    if (listBad) {
      json.key("sectors").beginArray(JsonWriter::Layout::kLines);
      for (const BadSector& bad : tally.bad) {
        json.beginObject();
        json.key("sector").value(bad.sector).key("header").value(bad.check.header);
        json.key("edc").value(bad.check.edc).key("ecc").value(bad.check.ecc);
        json.endObject();
      }
      json.endArray();
    }
    json.endObject();
  } else {
    json.null();
  }
  json.endObject();
}

}  // namespace

int runDiscCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int status = 0;
  const std::optional<CommandLine> line = parseCommandLine(kCommand, args, out, err, &status);
  if (!line) return status;
  if (line->operands.size() != 1) return usageError(err, kCommand, "expected IMAGE");
  const std::string& path = line->operands[0];
  DiscImage image;
  DiscFacts facts;
  Status read = openImage(path, &image, io::realFs());
  if (read.isOk()) read = tallySectors(image.sectors, &facts.tally);
  if (!read.isOk()) {
    err << "orvex-tool: disc: cannot read image " << path << ": " << read.message() << '\n';
    return 1;
  }
  facts.bootSector = findBootSector(image);
  IsoVolume volume;
  const Status iso = readIsoVolume(image.sectors, &volume, &facts.isoOddities);
  if (iso.isOk())
    facts.volume = std::move(volume);
  else if (iso.code() == Status::Code::kInvalid)
    facts.noVolume = iso.message();
  else {
    err << "orvex-tool: disc: cannot read image " << path << ": " << iso.message() << '\n';
    return 1;
  }
  facts.isoOddities.print(err, "orvex-tool: disc: warning: ISO 9660");
  if (line->has("--json"))
    writeJson(path, image.sectors, facts, line->has("--bad"), out);
  else
    writeText(path, image.sectors, facts, line->has("--bad"), out);
  return 0;
}

}  // namespace orvex
