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

// The sector the store starts at, when text is a number from 0 to 299.
std::optional<uint32_t> baseSector(const std::string& text) {
  const std::optional<uint64_t> number = parseNumber(text, BOOT_SEARCH_SECTORS - 1);
  return number ? std::optional<uint32_t>(static_cast<uint32_t>(*number)) : std::nullopt;
}

std::string checkBaseSector(const CommandLine&, const CommandOption& option) {
  return baseSector(*option.value)
             ? ""
             : "base sector '" + *option.value + "' is not a number from 0 to 299";
}

const CommandSpec kCommand{"pack",
                           kUsage,
                           {{"--base-sector", {}, "a value", true, checkBaseSector},
                            {"--store"},
                            {"--compress"},
                            {"--auto"}}};

}  // namespace

int runPackCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  PackOptions options;
  int status = 0;
  const std::optional<CommandLine> line = parseCommandLine(kCommand, args, out, err, &status);
  if (!line) return status;
  // The last of --store, --compress and --auto is the one that counts.
  for (const CommandOption& option : line->options) {
    if (option.name == "--store") options.form = StoredForm::kStore;
    if (option.name == "--compress") options.form = StoredForm::kCompress;
    if (option.name == "--auto") options.form = StoredForm::kAuto;
    if (option.name == "--base-sector") options.baseSector = *baseSector(*option.value);
  }
  const std::vector<std::string>& paths = line->operands;
  if (paths.size() != 3) return usageError(err, kCommand, "expected SOURCE_DIR IMAGE INDEX");

  Problems problems;
  PackStats stats;
  const Status packed =
      packTree(io::realFs(), paths[0], paths[1], paths[2], options, &problems, &stats);
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
