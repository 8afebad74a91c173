// Splitting a command's words into operands and options, the same way for
// every orvex-tool command.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "names_file.h"
#include "store.h"

namespace orvex {

struct CommandOption {
  std::string name;
  std::optional<std::string> value;  // for options that take one; empty when it is missing
};

struct CommandLine {
  std::vector<std::string> operands;
  std::vector<CommandOption> options;  // in the order given
};

// Words that start with '-' (other than "-" alone) are options until "--",
// after which every word is an operand. Long options that have a short form
// (--directory, --jobs, --verbose, --quiet, --dry-run, --help, --output)
// come out as the short one. An option named in takesValue gets the text
// after its '=', the rest of a short word (-Cout, -j4), or else the next
// word. Other short flags may be joined: -vq is -v -q.
CommandLine splitCommandLine(const std::vector<std::string>& args,
                             const std::vector<std::string>& takesValue = {});

bool isHelpOption(const CommandOption& option);

// "orvex-tool VERSION".
std::string versionLine();

// Prints a command's usage followed by the version line; returns 0.
int printHelp(std::ostream& out, std::string_view usage);

// Opens the disc as every command does. On failure prints
// "orvex-tool: COMMAND: cannot open image IMAGE: WHY" (or "cannot read index
// INDEX: WHY") and returns false; oddities that do not stop a command are
// left in *oddities.
bool openCommandStore(std::string_view command, const std::string& imagePath,
                      const std::string& indexPath, Store* store, Problems* oddities,
                      std::ostream& err);
// Prints each oddity as "orvex-tool: COMMAND: warning: ODDITY".
void printOddities(std::string_view command, const Problems& oddities, std::ostream& err);

// When the image and the index make no sense together (makesNoSense),
// prints "orvex-tool: COMMAND: no name reached an index entry: ..." and
// returns true: the command then ends with status 1, doing nothing more.
bool refuseSenseless(std::string_view command, const Problems& oddities, uint64_t entriesReached,
                     std::ostream& err);

// Reads the names files of --names options into *names; a line that cannot
// be read gets a warning. False, having said why, when a file cannot be read.
bool readNamesFiles(std::string_view command, const std::vector<CommandOption>& options,
                    std::vector<GivenName>* names, std::ostream& err);

// Prints "orvex-tool: COMMAND: MESSAGE" and a line saying where the usage
// is; returns EXIT_USAGE.
int usageError(std::ostream& err, std::string_view command, const std::string& message);

}  // namespace orvex
