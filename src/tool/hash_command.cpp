#include <cstdio>
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

}  // namespace

int runHashCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::vector<std::string> names;
  bool options = true;
  for (const std::string& a : args) {
    if (options && a == "--") {
      options = false;
    } else if (options && (a == "-h" || a == "--help")) {
      return printHelp(out, kUsage);
    } else if (options && a.size() > 1 && a[0] == '-') {
      return usageError(err, "hash", "unknown option '" + a + "'");
    } else {
      names.push_back(a);
    }
  }
  if (names.empty()) {
    return usageError(err, "hash", "no names given");
  }
  for (const std::string& name : names) {
    char hash[16];
    std::snprintf(hash, sizeof hash, "0x%08X", hashName(name));
    out << hash << ' ' << name << '\n';
  }
  return 0;
}

}  // namespace orvex
