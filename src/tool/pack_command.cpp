#include <optional>
#include <ostream>

#include "command_line.h"
#include "console.h"
#include "number_text.h"
#include "pack.h"
#include "store.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool pack SOURCE_DIR IMAGE INDEX [--base-sector N] [--store|--compress|--auto]\n"
    "\n"
    "Packs every regular file under SOURCE_DIR into IMAGE, after a name list menu.ard\n"
    "naming them all, and writes the index to INDEX. Checks the whole tree first and,\n"
    "when anything cannot be packed, reports every problem and writes nothing.\n"
    "Extracting the disc gives back every file's name and bytes; file modes and times\n"
    "are not kept, and an empty folder is left out with a warning.\n"
    "\n"
    "  --base-sector N  start the store at sector N, 0 to 299 (default 16)\n"
    "  --auto           compress a file when that makes it smaller (default)\n"
    "  --compress       compress every file the encoder accepts\n"
    "  --store          store every file as it is\n"
    "  -h, --help       show this help\n";

int usageError(std::ostream& err, const std::string& message) {
  return orvex::usageError(err, "pack", message);
}

bool parseBaseSector(const std::string& text, uint32_t* sector) {
  const std::optional<uint64_t> number = parseNumber(text, BOOT_SEARCH_SECTORS - 1);
  if (number) *sector = static_cast<uint32_t>(*number);
  return number.has_value();
}

}  // namespace

int runPackCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  PackOptions options;
  const CommandLine line = splitCommandLine(args, {"--base-sector"});
  for (const CommandOption& option : line.options) {
    const std::string& a = option.name;
    if (isHelpOption(option)) {
      return printHelp(out, kUsage);
    } else if (a == "--store") {
      options.form = StoredForm::kStore;
    } else if (a == "--compress") {
      options.form = StoredForm::kCompress;
    } else if (a == "--auto") {
      options.form = StoredForm::kAuto;
    } else if (a == "--base-sector") {
      if (!option.value) return usageError(err, "--base-sector needs a value");
      if (!parseBaseSector(*option.value, &options.baseSector))
        return usageError(err, "base sector '" + *option.value + "' is not a number from 0 to 299");
    } else {
      return usageError(err, "unknown option '" + a + "'");
    }
  }
  const std::vector<std::string>& paths = line.operands;
  if (paths.size() != 3) return usageError(err, "expected SOURCE_DIR IMAGE INDEX");

  Problems problems;
  PackStats stats;
  const Status packed = packTree(paths[0], paths[1], paths[2], options, &problems, &stats);
  if (!packed.isOk()) {
    problems.print(err, "orvex-tool: pack");
    if (problems.empty()) err << "orvex-tool: pack: " << packed.message() << '\n';
    return 1;
  }
  for (const std::string& folder : stats.emptyFolders)
    err << "orvex-tool: pack: warning: " << folder
        << ": empty folder, not kept (a disc holds folders only as parts of file names)\n";
  err << "orvex-tool: pack: " << counted(stats.files, "file", "files") << ", "
      << humanBytes(static_cast<double>(stats.bytesIn)) << " in, "
      << humanBytes(static_cast<double>(stats.bytesStored)) << " stored\n";
  return 0;
}

}  // namespace orvex
