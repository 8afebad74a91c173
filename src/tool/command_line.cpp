#include "command_line.h"

#include <algorithm>
#include <ostream>

#include "extract.h"
#include "file_io.h"
#include "tool.h"

namespace orvex {

namespace {

// Long options and the short form they come out as.
const std::pair<const char*, const char*> kShortForms[] = {
    {"--directory", "-C"}, {"--jobs", "-j"}, {"--verbose", "-v"}, {"--quiet", "-q"},
    {"--dry-run", "-n"},   {"--help", "-h"}, {"--output", "-o"},
};

std::string shortForm(const std::string& name) {
  for (const auto& [longName, shortName] : kShortForms)
    if (name == longName) return shortName;
  return name;
}

bool takes(const std::vector<std::string>& takesValue, const std::string& name) {
  return std::find(takesValue.begin(), takesValue.end(), name) != takesValue.end();
}

}  // namespace

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
    if (a[1] != '-' && a.size() > 2) {
      const std::string first = a.substr(0, 2);
      if (takes(takesValue, first)) {
        line.options.push_back({first, a.substr(2)});
      } else {
        for (size_t c = 1; c < a.size(); ++c) line.options.push_back({std::string("-") + a[c], {}});
      }
      continue;
    }
    const size_t equals = a.find('=');
    const std::string name = shortForm(a.substr(0, equals));
    CommandOption option{name, std::nullopt};
    if (equals != std::string::npos) {
      option.value = a.substr(equals + 1);
      if (!takes(takesValue, name)) option.name = a;  // a value where none is taken
    } else if (takes(takesValue, name) && i + 1 < args.size()) {
      option.value = args[++i];
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

bool readNamesFiles(std::string_view command, const std::vector<CommandOption>& options,
                    std::vector<GivenName>* names, std::ostream& err) {
  for (const CommandOption& option : options) {
    if (option.name != "--names" || !option.value) continue;
    std::vector<uint8_t> text;
    const Status read = io::readUserFile(*option.value, &text);
    if (!read.isOk()) {
      err << "orvex-tool: " << command << ": cannot read names file " << *option.value << ": "
          << read.message() << '\n';
      return false;
    }
    Problems problems;
    decodeNamesFile(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()),
                    *option.value, names, &problems);
    problems.print(err, "orvex-tool: " + std::string(command) + ": warning");
  }
  return true;
}

int usageError(std::ostream& err, std::string_view command, const std::string& message) {
  err << "orvex-tool: " << command << ": " << message << "\nTry 'orvex-tool " << command
      << " --help'\n";
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

bool refuseSenseless(std::string_view command, const Problems& oddities, uint64_t entriesReached,
                     std::ostream& err) {
  if (!makesNoSense(oddities, entriesReached)) return false;
  err << "orvex-tool: " << command << ": " << MAKES_NO_SENSE_LINE << '\n';
  return true;
}

void printOddities(std::string_view command, const Problems& oddities, std::ostream& err) {
  oddities.print(err, "orvex-tool: " + std::string(command) + ": warning");
}

}  // namespace orvex
