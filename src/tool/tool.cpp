#include "tool.h"

#include <ostream>

#include "command_line.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool COMMAND [ARGS...]\n"
    "\n"
    "Commands:\n"
    "  pack SOURCE_DIR IMAGE INDEX  pack a directory tree into a disc image and its index\n"
    "  hash NAME...                 print the index hash of each name\n"
    "  extract IMAGE INDEX [PATTERN...]\n"
    "                               write the disc's files (or those matching) into a folder\n"
    "  cat IMAGE INDEX NAME...      write the named files' bytes to standard output\n"
    "  list IMAGE INDEX [--json]    list every index entry with its state and names\n"
    "  unnamed IMAGE INDEX OUT_DIR  write the entries no name reaches into OUT_DIR\n"
    "  patch IMAGE INDEX CHANGES_DIR (-o NEW_IMAGE NEW_INDEX | --in-place)\n"
    "                               put edited files and pieces back into a disc\n"
    "  names IMAGE INDEX            look for names of the entries no name reaches\n"
    "  disc IMAGE [--bad] [--json]  say what an image is: sectors, tracks, ISO 9660 files\n"
#ifdef ORVEX_HAVE_FUSE
    "  mount IMAGE INDEX MOUNTPOINT show the disc as a read-only file system\n"
#else
    "  (mount, which shows the disc as a file system, needs FUSE: not in this build)\n"
#endif
    "\n"
    "extract, cat, list, unnamed, names and mount take IMAGE --index-in-image PATH\n"
    "in place of IMAGE INDEX: the index is then PATH of the image's ISO 9660 files.\n"
    "\n"
    "Run 'orvex-tool COMMAND --help' for a command's options,\n"
    "'orvex-tool --version' for the version.\n";

}  // namespace

const std::vector<ToolCommand>& toolCommands() {
  static const std::vector<ToolCommand> commands = {
      {"pack", runPackCommand},   {"hash", runHashCommand},   {"extract", runExtractCommand},
      {"cat", runCatCommand},     {"list", runListCommand},   {"unnamed", runUnnamedCommand},
      {"patch", runPatchCommand}, {"names", runNamesCommand}, {"disc", runDiscCommand},
#ifdef ORVEX_HAVE_FUSE
      {"mount", runMountCommand},
#endif
  };
  return commands;
}

int runTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kUsage;
    return EXIT_USAGE;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  for (const ToolCommand& command : toolCommands())
    if (args[0] == command.name) return command.run(rest, out, err);
  if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") return printHelp(out, kUsage);
  if (args[0] == "--version") {
    out << versionLine() << '\n';
    return 0;
  }
#ifndef ORVEX_HAVE_FUSE
  if (args[0] == "mount") {
    err << "orvex-tool: mount is not in this build: it needs FUSE (libfuse3), which Windows and "
           "builds without libfuse3 lack\n";
    return EXIT_USAGE;
  }
#endif
  err << "orvex-tool: unknown command '" << args[0] << "'\nTry 'orvex-tool --help'\n";
  return EXIT_USAGE;
}

}  // namespace orvex
