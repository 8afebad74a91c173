#include "command_line.h"

#include <algorithm>
#include <ostream>

#include "tool.h"

namespace orvex {

CommandLine splitCommandLine(const std::vector<std::string>& args,
                             const std::vector<std::string>& takesValue) {
  CommandLine line;
  bool options = true;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!options || a.size() < 2 || a[0] != '-') {
      line.operands.push_back(a);
      continue;
    }
    if (a == "--") {
      options = false;
      continue;
    }
    CommandOption option{a, std::nullopt};
    for (const std::string& name : takesValue) {
      if (a == name) {
        if (i + 1 < args.size()) option.value = args[++i];
      } else if (a.rfind(name + "=", 0) == 0) {
        option = {name, a.substr(name.size() + 1)};
      }
    }
    line.options.push_back(std::move(option));
  }
  return line;
}

bool isHelpOption(const CommandOption& option) {
  return option.name == "-h" || option.name == "--help";
}

std::string versionLine() { return std::string("orvex-tool ") + ORVEX_VERSION; }

int printHelp(std::ostream& out, std::string_view usage) {
  out << usage << '\n' << versionLine() << '\n';
  return 0;
}

int usageError(std::ostream& err, std::string_view command, const std::string& message,
               std::string_view usage) {
  err << "orvex-tool: " << command << ": " << message << '\n' << usage;
  return EXIT_USAGE;
}

bool openCommandStore(std::string_view command, const std::string& imagePath,
                      const std::string& indexPath, Store* store, Problems* oddities,
                      std::ostream& err) {
  StorePart failed = StorePart::kImage;
  const Status opened = openStore(imagePath, indexPath, store, oddities, &failed);
  if (opened.isOk()) return true;
  err << "orvex-tool: " << command << ": "
      << (failed == StorePart::kImage ? "cannot open image " + imagePath
                                      : "cannot read index " + indexPath)
      << ": " << opened.message() << '\n';
  return false;
}

void printOddities(std::string_view command, const Problems& oddities, std::ostream& err) {
  oddities.print(err, "orvex-tool: " + std::string(command) + ": warning");
}

}  // namespace orvex
