#include <cstdio>
#include <optional>
#include <ostream>

#include "command_line.h"
#include "store.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool hash NAME...\n"
    "\n"
    "Prints the index hash of each NAME, one '0xXXXXXXXX NAME' line each.\n"
    "Use '--' before names that start with '-'.\n";

const CommandSpec kCommand{"hash", kUsage, {}};

}  // namespace

int runHashCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int status = 0;
  const std::optional<CommandLine> line = parseCommandLine(kCommand, args, out, err, &status);
  if (!line) return status;
  const std::vector<std::string>& names = line->operands;
  if (names.empty()) return usageError(err, kCommand, "no names given");
  for (const std::string& name : names) {
    char hash[16];
    std::snprintf(hash, sizeof hash, "0x%08X", hashName(name));
    out << hash << ' ' << name << '\n';
  }
  return 0;
}

}  // namespace orvex
