#include "command_line.h"

#include <algorithm>
#include <cstddef>
#include <ostream>

#include "extract.h"
#include "file_io.h"
#include "number_text.h"
#include "tool.h"

namespace orvex {

namespace {

constexpr OptionSpec kHelpOption{"-h", "--help"};

// The option spec declares under name, the help option included.
const OptionSpec* findOption(const CommandSpec& spec, std::string_view name) {
  if (name == kHelpOption.name || name == kHelpOption.longName) return &kHelpOption;
  for (const OptionSpec& option : spec.options)
    if (name == option.name || (!option.longName.empty() && name == option.longName))
      return &option;
  return nullptr;
}

struct Word {
  const OptionSpec* spec;  // null for an option the command does not take
  CommandOption option;
};

// The options and operands of args, options in the order given.
std::vector<Word> splitWords(const CommandSpec& spec, const std::vector<std::string>& args,
                             std::vector<std::string>* operands) {
  std::vector<Word> words;
  bool options = true;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!options || a.size() < 2 || a[0] != '-') {
      operands->push_back(a);
      continue;
    }
    if (a == "--") {
      options = false;
      continue;
    }
    if (a[1] != '-' && a.size() > 2) {
      const std::string first = a.substr(0, 2);
      const OptionSpec* option = findOption(spec, first);
      if (option && !option->needs.empty()) {
        words.push_back({option, {first, a.substr(2)}});
      } else {
        for (size_t c = 1; c < a.size(); ++c) {
          const std::string flag = std::string("-") + a[c];
          words.push_back({findOption(spec, flag), {flag, {}}});
        }
      }
      continue;
    }
    const size_t equals = a.find('=');
    const OptionSpec* option = findOption(spec, std::string_view(a).substr(0, equals));
    Word word{option, {option ? std::string(option->name) : a, std::nullopt}};
    if (option && equals != std::string::npos) {
      word.option.value = a.substr(equals + 1);
      // A value where none is taken makes the whole word unknown.
      if (option->needs.empty()) word = {nullptr, {a, std::nullopt}};
    } else if (option && !option->needs.empty() && i + 1 < args.size()) {
      word.option.value = args[++i];
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::string checkJobs(const CommandLine&, const CommandOption& option) {
  return parseJobs(option.value.value_or("")) == 0
             ? option.name + " needs a number of jobs from 1 to 256"
             : "";
}

}  // namespace

bool CommandLine::has(std::string_view name) const {
  return std::any_of(options.begin(), options.end(),
                     [&](const CommandOption& option) { return option.name == name; });
}

std::optional<std::string> CommandLine::value(std::string_view name) const {
  std::optional<std::string> last;
  for (const CommandOption& option : options)
    if (option.name == name) last = option.value;
  return last;
}

OptionSpec jobsOption() {
  return {"-j", "--jobs", "a number of jobs from 1 to 256", true, checkJobs};
}

unsigned parseJobs(const std::string& text) {
  return static_cast<unsigned>(parseNumber(text, 256).value_or(0));
}

std::optional<CommandLine> parseCommandLine(const CommandSpec& spec,
                                            const std::vector<std::string>& args, std::ostream& out,
                                            std::ostream& err, int* status) {
  CommandLine line;
  for (Word& word : splitWords(spec, args, &line.operands)) {
    const CommandOption& option = word.option;
    std::string refused;
    if (word.spec == &kHelpOption) {
      *status = printHelp(out, spec.usage);
      return std::nullopt;
    }
    if (word.spec == nullptr) {
      refused = "unknown option '" + option.name + "'";
    } else if (!word.spec->needs.empty() &&
               (!option.value || (option.value->empty() && !word.spec->emptyValue))) {
      refused = option.name + " needs " + std::string(word.spec->needs);
    } else if (word.spec->check) {
      refused = word.spec->check(line, option);
    }
    if (!refused.empty()) {
      *status = usageError(err, spec, refused);
      return std::nullopt;
    }
    line.options.push_back(std::move(word.option));
  }
  return line;
}

std::string versionLine() { return std::string("orvex-tool ") + ORVEX_VERSION; }

int printHelp(std::ostream& out, std::string_view usage) {
  out << usage << '\n' << versionLine() << '\n';
  return 0;
}

bool eventsTableReadable(std::string_view command, const std::optional<std::string>& events,
                         std::ostream& err) {
  if (!events) return true;
  std::vector<uint8_t> table;
  const Status read = io::readUserFile(io::realFs(), *events, &table);
  if (read.isOk()) return true;
  err << "orvex-tool: " << command << ": cannot read event table " << *events << ": "
      << read.message() << '\n';
  return false;
}

bool readNamesFiles(std::string_view command, const std::vector<CommandOption>& options,
                    std::vector<GivenName>* names, std::ostream& err) {
  for (const CommandOption& option : options) {
    if (option.name != "--names" || !option.value) continue;
    std::vector<uint8_t> text;
    const Status read = io::readUserFile(io::realFs(), *option.value, &text);
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

bool takeDiscOperands(const CommandLine& line, DiscOperands* disc, std::vector<std::string>* rest) {
  rest->clear();
  const std::optional<std::string> inImage = line.value(kIndexInImageOption.name);
  disc->inImage = inImage.has_value();
  const size_t count = disc->inImage ? 1 : 2;
  if (line.operands.size() < count) return false;
  disc->image = line.operands[0];
  disc->index = disc->inImage ? *inImage : line.operands[1];
  rest->assign(line.operands.begin() + static_cast<std::ptrdiff_t>(count), line.operands.end());
  return true;
}

bool openCommandStore(std::string_view command, const DiscOperands& disc, Store* store,
                      Problems* oddities, std::ostream& err) {
  StorePart failed = StorePart::kImage;
  const Status opened =
      disc.inImage ? openStoreWithIndexInImage(disc.image, disc.index, store, oddities, &failed,
                                               io::realFs())
                   : openStore(disc.image, disc.index, store, oddities, &failed, io::realFs());
  if (opened.isOk()) return true;
  err << "orvex-tool: " << command << ": ";
  if (failed == StorePart::kImage)
    err << "cannot open image " << disc.image;
  else if (disc.inImage)
    err << "cannot read index " << disc.index << " in image " << disc.image;
  else
    err << "cannot read index " << disc.index;
  err << ": " << opened.message() << '\n';
  return false;
}

bool openCommandStore(std::string_view command, const std::string& imagePath,
                      const std::string& indexPath, Store* store, Problems* oddities,
                      std::ostream& err) {
  return openCommandStore(command, DiscOperands{imagePath, indexPath, false}, store, oddities, err);
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
