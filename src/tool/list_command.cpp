#include <memory>
#include <ostream>

#include "catalog.h"
#include "command_line.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool list IMAGE INDEX [--json]\n"
    "\n"
    "Lists every index entry: its hash, sector, stored size, kind, decoded size, state\n"
    "and the names that reach it, learned as orvex learns them (the name lists, then\n"
    "./eventsTable), then counts and stored bytes per state. Nothing is written.\n"
    "\n"
    "States: never-found (sector 0), shadowed (an earlier entry with the same hash\n"
    "wins), past-end (runs past the end of the image), damaged (the compressed\n"
    "stream cannot be decoded), unnamed (no name reaches it), ok.\n"
    "\n"
    "  --json      print one JSON document instead of a table\n"
    "  -h, --help  show this help\n";

int usageError(std::ostream& err, const std::string& message) {
  return orvex::usageError(err, "list", message, kUsage);
}

}  // namespace

int runListCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool json = false;
  const CommandLine line = splitCommandLine(args);
  for (const CommandOption& option : line.options) {
    if (isHelpOption(option)) {
      return printHelp(out, kUsage);
    } else if (option.name == "--json") {
      json = true;
    } else {
      return usageError(err, "unknown option '" + option.name + "'");
    }
  }
  const std::vector<std::string>& paths = line.operands;
  if (paths.size() != 2) return usageError(err, "expected IMAGE INDEX");

  Store store;
  std::vector<std::string> oddities;
  StorePart failed = StorePart::kImage;
  const Status opened = openStore(paths[0], paths[1], &store, &oddities, &failed);
  if (!opened.isOk()) {
    err << "orvex-tool: list: "
        << (failed == StorePart::kImage ? "cannot open image " + paths[0]
                                        : "cannot read index " + paths[1])
        << ": " << opened.message() << '\n';
    return 1;
  }
  for (const std::string& oddity : oddities) err << "orvex-tool: list: warning: " << oddity << '\n';
  std::unique_ptr<OutputDir> here;
  OutputDir::open(".", false, &here);
  const Inventory inventory = takeInventory(store, learnNames(store, here.get()));
  closeImage(&store.image);
  for (const std::string& note : inventory.notes) err << "orvex-tool: list: " << note << '\n';
  if (json) {
    writeInventoryJson(inventory, out);
  } else {
    writeInventoryTable(inventory, out);
  }
  return 0;
}

}  // namespace orvex
