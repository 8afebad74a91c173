#include <memory>
#include <ostream>

#include "catalog.h"
#include "command_line.h"
#include "human_bytes.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool unnamed IMAGE INDEX OUT_DIR\n"
    "\n"
    "Writes every index entry that no name reaches (states unnamed and shadowed)\n"
    "into OUT_DIR as HASH.bin, or HASH-N.bin when N earlier index entries share the\n"
    "hash, decoded when compressed. OUT_DIR is created if missing; files already\n"
    "there are never replaced. Entries whose bytes cannot be read (never-found,\n"
    "past-end, damaged) are reported on stderr and skipped.\n"
    "\n"
    "Exits with 1 when a file that was to be written was not.\n"
    "\n"
    "  -h, --help  show this help\n";

}  // namespace

int runUnnamedCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const CommandLine line = splitCommandLine(args);
  if (!line.options.empty()) {  // the only option is help; the first one decides
    const CommandOption& option = line.options.front();
    if (!isHelpOption(option))
      return usageError(err, "unnamed", "unknown option '" + option.name + "'", kUsage);
    return printHelp(out, kUsage);
  }
  const std::vector<std::string>& paths = line.operands;
  if (paths.size() != 3) return usageError(err, "unnamed", "expected IMAGE INDEX OUT_DIR", kUsage);

  Store store;
  Problems oddities;
  if (!openCommandStore("unnamed", paths[0], paths[1], &store, &oddities, err)) return 1;
  printOddities("unnamed", oddities, err);
  std::unique_ptr<OutputDir> here;
  OutputDir::open(".", false, &here);
  const Inventory inventory = takeInventory(store, learnNames(store, here.get()));
  inventory.notes.print(err, "orvex-tool: unnamed");
  const UnnamedStats stats = writeUnnamed(store, inventory, paths[2], out, err);
  out << stats.written << " files written (" << humanBytes(static_cast<double>(stats.bytes))
      << "), " << stats.failed << " not written, " << stats.skipped << " entries skipped\n";
  return stats.failed == 0 ? 0 : 1;
}

}  // namespace orvex
