#include <ostream>

#include "command_line.h"
#include "console.h"
#include "store.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool cat IMAGE INDEX NAME...\n"
    "\n"
    "Writes each named file's bytes, decoded when compressed, to standard output,\n"
    "in the order given. A name that reaches no index entry, or whose entry cannot\n"
    "be read, is reported on standard error and the next name follows.\n"
    "\n"
    "  -h, --help  show this help\n"
    "\n"
    "Exit status: 0 when every file was written out; 1 when one could not be, or\n"
    "the image or the index cannot be opened; 2 on bad usage.\n";

int usageError(std::ostream& err, const std::string& message) {
  return orvex::usageError(err, "cat", message, kUsage);
}

}  // namespace

int runCatCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const CommandLine line = splitCommandLine(args);
  for (const CommandOption& option : line.options) {
    if (isHelpOption(option)) return printHelp(out, kUsage);
    return usageError(err, "unknown option '" + option.name + "'");
  }
  const std::vector<std::string>& operands = line.operands;
  if (operands.size() < 3) return usageError(err, "expected IMAGE INDEX NAME...");

  Store store;
  Problems oddities;
  if (!openCommandStore("cat", operands[0], operands[1], &store, &oddities, err)) return 1;
  printOddities("cat", oddities, err);

  int status = 0;
  std::vector<uint8_t> bytes;
  for (size_t i = 2; i < operands.size() && out; ++i) {
    const Status read = readFile(store, operands[i], &bytes);
    if (!read.isOk()) {
      // Whatever came before reaches the reader first.
      out.flush();
      err << "orvex-tool: cat: " << shownName(operands[i]) << ": " << read.message() << '\n';
      status = 1;
      continue;
    }
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  out.flush();
  if (!out) {
    err << "orvex-tool: cat: cannot write to standard output\n";
    return 1;
  }
  return status;
}

}  // namespace orvex
