// orvex-tool mount: the disc as a read-only file system.
#include <algorithm>
#include <optional>
#include <ostream>
#include <utility>

#include "catalog.h"
#include "command_line.h"
#include "console.h"
#include "file_io.h"
#include "fuse_server.h"
#include "number_text.h"
#include "paths.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool mount [OPTIONS] IMAGE INDEX MOUNTPOINT\n"
    "\n"
    "Shows the disc read-only at MOUNTPOINT: the tree 'orvex-tool extract' writes into\n"
    "an empty folder with the same options, and the entries no name reaches in the\n"
    "folder _unnamed, named as 'orvex-tool unnamed' names them. Only the lists, the\n"
    "event table and the event files are read at mount; a file is decoded when it\n"
    "is first read, into a cache of bounded size, and files read one after another\n"
    "(or a large file read in order) up to 8 MiB ahead of the reader, into the\n"
    "system's cache. Unmount with 'fusermount3 -u\n"
    "MOUNTPOINT' (or, with -f, Ctrl-C). MOUNTPOINT must be a folder with nothing\n"
    "mounted on it yet.\n"
    "\n"
    "  --events FILE       read the event table from FILE\n"
    "  --names FILE        also learn names from this names file (repeatable)\n"
    "  --no-unnamed        leave out the entries no name reaches\n"
    "  --cache-size SIZE   bytes of decoded files kept (default 64M; K, M, G allowed)\n"
    "  -f, --foreground    stay in the foreground; warnings go to standard error\n"
    "                      (else to the system log)\n"
    "  -o OPTIONS          FUSE mount options, such as allow_other\n"
    "  --index-in-image PATH\n"
    "                      the index is PATH of the image's ISO 9660 file system\n"
    "                      (see 'orvex-tool disc'); no INDEX operand is given\n"
    "  -h, --help          show this help\n";

// A size with an optional K, M or G (powers of 1024); 0 when it is none.
uint64_t parseSize(const std::string& text) {
  const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
  const std::string unit = text.substr(digits);
  const int shift = unit.empty() ? 0 : unit == "K" ? 10 : unit == "M" ? 20 : unit == "G" ? 30 : -1;
  if (shift < 0) return 0;
  const std::optional<uint64_t> value = parseNumber(text.substr(0, digits), UINT64_MAX >> shift);
  return value ? *value << shift : 0;
}

std::string checkSize(const CommandLine&, const CommandOption& option) {
  return parseSize(*option.value) == 0 ? "--cache-size needs a size such as 64M" : "";
}

const CommandSpec kCommand{"mount",
                           kUsage,
                           {eventsOption("a value"),
                            namesOption(),
                            {"-o", "--output", "a value"},
                            {"--cache-size", {}, "a size such as 64M", true, checkSize},
                            {"-f", "--foreground"},
                            {"--no-unnamed"},
                            kIndexInImageOption}};

}  // namespace

int runMountCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  MountedDisc disc;
  disc.cacheSize = uint64_t{64} << 20;
  int status = 0;
  const std::optional<CommandLine> parsed = parseCommandLine(kCommand, args, out, err, &status);
  if (!parsed) return status;
  const CommandLine& line = *parsed;
  MountOptions options;
  options.walk.eventsTablePath = line.value("--events");
  options.unnamed = !line.has("--no-unnamed");
  disc.foreground = line.has("-f");
  if (line.has("--cache-size")) disc.cacheSize = parseSize(*line.value("--cache-size"));
  std::vector<std::string> fuseOptions;
  for (const CommandOption& option : line.options)
    if (option.name == "-o") fuseOptions.push_back(*option.value);
  DiscOperands operands;
  std::vector<std::string> rest;
  if (!takeDiscOperands(line, &operands, &rest) || rest.size() != 1)
    return usageError(err, kCommand, "expected " + operands.words() + " MOUNTPOINT");
  // Serving starts from "/": the mount point is needed by its full path to
  // unmount it at the end.
  std::string point;
  Status usable = resolvePath(io::realFs(), rest[0], &point);
  if (usable.isOk()) usable = checkMountPoint(io::realFs(), point);
  if (!usable.isOk()) {
    err << "orvex-tool: mount: cannot mount at " << rest[0] << ": " << usable.message() << '\n';
    return 1;
  }
  if (!eventsTableReadable("mount", options.walk.eventsTablePath, err)) return 1;
  if (!readNamesFiles("mount", line.options, &options.walk.givenNames, err)) return 1;
  Problems oddities;
  if (!openCommandStore("mount", operands, &disc.store, &oddities, err)) return 1;
  printOddities("mount", oddities, err);
  if (!oddities.empty() &&
      refuseSenseless("mount", oddities,
                      learnNames(disc.store, nullptr, options.walk).entriesReached(), err))
    return 1;
  if (!io::realFs().info(disc.store.image.sectors.dataFile(), &disc.image).isOk()) disc.image = {};
  Problems warnings;
  disc.tree = MountTree::build(disc.store, options, &warnings);
  warnings.print(err, "orvex-tool: mount: warning");
  out.flush();
  err.flush();
  return serveMount(std::move(disc), point, fuseOptions);
}

}  // namespace orvex
