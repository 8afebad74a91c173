#include <cstdio>
#include <memory>
#include <ostream>

#include "catalog.h"
#include "command_line.h"
#include "console.h"
#include "human_bytes.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool unnamed IMAGE INDEX OUT_DIR [--json]\n"
    "\n"
    "Writes every index entry that no name reaches (states unnamed and shadowed)\n"
    "into OUT_DIR as HASH.bin, or HASH-N.bin when N earlier index entries share the\n"
    "hash, decoded when compressed. OUT_DIR is created if missing; files already\n"
    "there are never replaced, and one that holds the entry's bytes counts as\n"
    "present. Entries whose bytes cannot be read (never-found, past-end, damaged)\n"
    "are reported on stderr and skipped.\n"
    "\n"
    "Exits with 1 when a file that was to be written was not.\n"
    "\n"
    "  --names FILE  names from this names file reach what no other name reaches:\n"
    "              those entries are not written (repeatable)\n"
    "  --json      print one JSON document of what became of each entry instead of\n"
    "              a line per file\n"
    "  --index-in-image PATH\n"
    "              the index is PATH of the image's ISO 9660 file system\n"
    "              (see 'orvex-tool disc'); no INDEX operand is given\n"
    "  -h, --help  show this help\n";

std::string entryLabel(const EntryRow& row) {
  char text[48];
  std::snprintf(text, sizeof text, "entry %u (0x%08X)", row.position, row.entry.hash);
  return text;
}

// Each file written on out, each entry not written on err.
void printUnnamedFiles(const std::vector<UnnamedFile>& files, std::ostream& out,
                       std::ostream& err) {
  for (const UnnamedFile& file : files) {
    if (file.row == nullptr) {
      err << "orvex-tool: unnamed: " << file.path << ": " << file.problem << '\n';
    } else if (file.path.empty()) {
      err << "orvex-tool: unnamed: " << entryLabel(*file.row) << ": " << file.problem
          << ", not written\n";
    } else if (!file.problem.empty()) {
      err << "orvex-tool: unnamed: " << file.path << ": " << file.problem << ", not written\n";
    } else if (!file.present) {
      out << file.path << "  " << humanBytes(static_cast<double>(file.bytes)) << ", "
          << entryLabel(*file.row) << ", " << stateName(file.row->state) << '\n';
    }
  }
}

const CommandSpec kCommand{"unnamed", kUsage, {namesOption(), kJsonOption, kIndexInImageOption}};

}  // namespace

int runUnnamedCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int status = 0;
  const std::optional<CommandLine> line = parseCommandLine(kCommand, args, out, err, &status);
  if (!line) return status;
  WalkOptions walk;
  if (!readNamesFiles("unnamed", line->options, &walk.givenNames, err)) return 1;
  DiscOperands disc;
  std::vector<std::string> rest;
  if (!takeDiscOperands(*line, &disc, &rest) || rest.size() != 1)
    return usageError(err, kCommand, "expected " + disc.words() + " OUT_DIR");

  Store store;
  Problems oddities;
  if (!openCommandStore("unnamed", disc, &store, &oddities, err)) return 1;
  printOddities("unnamed", oddities, err);
  std::unique_ptr<OutputDir> here;
  // Without the folder, names are learnt from the disc alone.
  (void)OutputDir::open(".", false, &here, io::realFs());
  NameReach reach = learnNames(store, here.get(), walk);
  if (refuseSenseless("unnamed", oddities, reach.entriesReached(), err)) return 1;
  const Inventory inventory = takeInventory(store, std::move(reach));
  inventory.notes.print(err, "orvex-tool: unnamed");
  std::vector<UnnamedFile> files;
  const UnnamedStats stats = writeUnnamed(store, inventory, rest[0], &files);
  if (line->has("--json"))
    writeUnnamedJson(files, stats, out);
  else
    printUnnamedFiles(files, out, err);
  out.flush();
  err << "orvex-tool: unnamed: " << counted(stats.written, "file", "files") << " written ("
      << humanBytes(static_cast<double>(stats.bytes)) << "), "
      << (stats.present ? std::to_string(stats.present) + " already present, " : "") << stats.failed
      << " not written, " << counted(stats.skipped, "entry", "entries") << " skipped\n";
  return stats.failed == 0 ? 0 : 1;
}

}  // namespace orvex
