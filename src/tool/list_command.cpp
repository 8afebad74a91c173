#include <cerrno>
#include <memory>
#include <optional>
#include <ostream>
#include <set>

#include "catalog.h"
#include "command_line.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool list [-C DIR] [--events FILE] [--state STATE[,STATE...]] IMAGE INDEX\n"
    "                       [--json]\n"
    "\n"
    "Lists every index entry: its hash, sector, stored size, kind, decoded size, state\n"
    "and the names that reach it, learned as orvex learns them (the name lists, then\n"
    "./eventsTable), then counts and stored bytes per state. Nothing is written.\n"
    "With -C and --events, names are learned as 'orvex-tool extract' with the same\n"
    "options learns them.\n"
    "\n"
    "States: never-found (sector 0), shadowed (an earlier entry with the same hash\n"
    "wins), past-end (runs past the end of the image), damaged (the compressed\n"
    "stream cannot be decoded), unnamed (no name reaches it), ok.\n"
    "\n"
    "  -C, --directory DIR\n"
    "                 the output folder of the run to describe (default: the current\n"
    "                 folder); its eventsTable is read, and a missing DIR counts as empty\n"
    "  --events FILE  read the event table from FILE instead of DIR/eventsTable\n"
    "  --names FILE   also learn names from the names file FILE (repeatable)\n"
    "  --state STATE[,STATE...]\n"
    "                 list only the entries in these states (the summary still\n"
    "                 counts every entry)\n"
    "  --json         print one JSON document instead of a table\n"
    "  --index-in-image PATH\n"
    "                 the index is PATH of the image's ISO 9660 file system\n"
    "                 (see 'orvex-tool disc'); no INDEX operand is given\n"
    "  -h, --help     show this help\n";

// The states of a --state value.
std::vector<std::string> stateList(const std::string& text) {
  std::vector<std::string> states;
  for (size_t start = 0; start <= text.size();) {
    const size_t comma = std::min(text.find(',', start), text.size());
    states.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return states;
}

std::string checkStates(const CommandLine&, const CommandOption& option) {
  for (const std::string& state : stateList(*option.value)) {
    bool known = false;
    for (int s = 0; s < ENTRY_STATE_COUNT; ++s)
      known = known || state == stateName(static_cast<EntryState>(s));
    if (!known)
      return "no state '" + state +
             "'; the states are never-found, shadowed, past-end, damaged, unnamed and ok";
  }
  return "";
}

const CommandSpec kCommand{"list",
                           kUsage,
                           {directoryOption(),
                            eventsOption(),
                            namesOption(),
                            {"--state", {}, "a STATE", false, checkStates},
                            kJsonOption,
                            kIndexInImageOption}};

}  // namespace

int runListCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int status = 0;
  const std::optional<CommandLine> parsed = parseCommandLine(kCommand, args, out, err, &status);
  if (!parsed) return status;
  const CommandLine& line = *parsed;
  const std::string folder = line.value("-C").value_or(".");
  WalkOptions walk;
  walk.eventsTablePath = line.value("--events");
  // The entries of the states the last --state names.
  std::optional<std::set<std::string>> states;
  if (const std::optional<std::string> list = line.value("--state")) {
    const std::vector<std::string> named = stateList(*list);
    states.emplace(named.begin(), named.end());
  }
  DiscOperands disc;
  std::vector<std::string> rest;
  if (!takeDiscOperands(line, &disc, &rest) || !rest.empty())
    return usageError(err, kCommand, "expected " + disc.words());
  if (!eventsTableReadable("list", walk.eventsTablePath, err)) return 1;

  if (!readNamesFiles("list", line.options, &walk.givenNames, err)) return 1;
  Store store;
  Problems oddities;
  if (!openCommandStore("list", disc, &store, &oddities, err)) return 1;
  printOddities("list", oddities, err);
  // A folder that is not there yet is one a run would create empty.
  std::unique_ptr<OutputDir> dir;
  io::FileInfo info;
  if (io::realFs().info(io::Folder::working(), folder, io::Follow::kYes, &info).osError() !=
      ENOENT) {
    const Status usable = OutputDir::open(folder, false, &dir, io::realFs());
    if (!usable.isOk()) {
      err << "orvex-tool: list: cannot use output folder " << folder << ": " << usable.message()
          << '\n';
      return 1;
    }
  }
  NameReach reach = learnNames(store, dir.get(), walk);
  if (refuseSenseless("list", oddities, reach.entriesReached(), err)) return 1;
  Inventory inventory = takeInventory(store, std::move(reach));
  if (states)
    std::erase_if(inventory.rows,
                  [&](const EntryRow& row) { return !states->contains(stateName(row.state)); });
  inventory.notes.print(err, "orvex-tool: list");
  if (line.has("--json")) {
    writeInventoryJson(inventory, out);
  } else {
    writeInventoryTable(inventory, out);
  }
  return 0;
}

}  // namespace orvex
