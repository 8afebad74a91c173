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

  bool has(std::string_view name) const;
  // The value of the last option so named.
  std::optional<std::string> value(std::string_view name) const;
};

// One option a command takes.
struct OptionSpec {
  std::string_view name;           // as the command sees it, e.g. "-C" or "--json"
  std::string_view longName = {};  // the long form of a short option, "--directory"
  // For an option that takes a value: what it needs, as usage errors say it
  // ("-C needs a path").
  std::string_view needs = {};
  bool emptyValue = false;  // "--events=" is taken as given
  // A check of the option, with the options before it: the usage error, or
  // empty when it is fine.
  std::string (*check)(const CommandLine& before, const CommandOption& option) = nullptr;
};

// A command's name, help and options, so that one parser serves them all.
struct CommandSpec {
  std::string_view name;
  std::string_view usage;  // --help prints it
  std::vector<OptionSpec> options;
};

// The options of the disc commands, declared once.
constexpr OptionSpec directoryOption() { return {"-C", "--directory", "a path"}; }
constexpr OptionSpec eventsOption(std::string_view needs = "a path") {
  return {"--events", {}, needs};
}
constexpr OptionSpec namesOption(std::string_view needs = "a FILE") {
  return {"--names", {}, needs};
}
constexpr OptionSpec kJsonOption{"--json"};
// --index-in-image PATH: the index is the file at PATH of the image's ISO
// 9660 file system, and no INDEX operand is given.
constexpr OptionSpec kIndexInImageOption{"--index-in-image", {}, "a path in the image"};
// -j, --jobs N: from 1 to 256.
OptionSpec jobsOption();
// The number -j asks for, or 0 when the text is none from 1 to 256.
unsigned parseJobs(const std::string& text);

// Splits a command's words as spec declares: words that start with '-'
// (other than "-" alone) are options until "--", after which every word is
// an operand. A long option comes out as its short form. An option that
// takes a value gets the text after its '=', the rest of a short word
// (-Cout, -j4), or else the next word; other short flags may be joined (-vq
// is -v -q). Options are taken in the order given: -h or --help prints the
// usage and ends the command with 0; an option spec does not declare, one
// missing its value or one its check refuses ends it with a usage error.
// Then *status is the exit status and the result empty.
std::optional<CommandLine> parseCommandLine(const CommandSpec& spec,
                                            const std::vector<std::string>& args, std::ostream& out,
                                            std::ostream& err, int* status);

// "orvex-tool VERSION".
std::string versionLine();

// Prints a command's usage followed by the version line; returns 0.
int printHelp(std::ostream& out, std::string_view usage);

// The disc a command reads: the operands IMAGE INDEX, or IMAGE alone with
// --index-in-image PATH.
struct DiscOperands {
  std::string image;
  std::string index;  // INDEX, or PATH in the image when inImage
  bool inImage = false;
  // The disc's operands as usage errors name them: "IMAGE INDEX" or "IMAGE".
  std::string words() const { return inImage ? "IMAGE" : "IMAGE INDEX"; }
};

// Takes the disc's operands off the front of line's: with --index-in-image
// the first alone, else the first two. *rest gets the operands after them;
// false when there are too few (rest is then empty).
bool takeDiscOperands(const CommandLine& line, DiscOperands* disc, std::vector<std::string>* rest);

// Opens the disc as every command does. On failure prints
// "orvex-tool: COMMAND: cannot open image IMAGE: WHY" (or "cannot read index
// INDEX: WHY", "cannot read index PATH in image IMAGE: WHY") and returns
// false; oddities that do not stop a command are left in *oddities.
bool openCommandStore(std::string_view command, const DiscOperands& disc, Store* store,
                      Problems* oddities, std::ostream& err);
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

// When events is given and cannot be read, says so as
// "orvex-tool: COMMAND: cannot read event table FILE: WHY" and returns false:
// without the table a user named, no event file would be written, silently.
bool eventsTableReadable(std::string_view command, const std::optional<std::string>& events,
                         std::ostream& err);

// Reads the names files of --names options into *names; a line that cannot
// be read gets a warning. False, having said why, when a file cannot be read.
bool readNamesFiles(std::string_view command, const std::vector<CommandOption>& options,
                    std::vector<GivenName>* names, std::ostream& err);

// Prints "orvex-tool: COMMAND: MESSAGE" and a line saying where the usage
// is; returns EXIT_USAGE.
int usageError(std::ostream& err, std::string_view command, const std::string& message);
inline int usageError(std::ostream& err, const CommandSpec& spec, const std::string& message) {
  return usageError(err, spec.name, message);
}

}  // namespace orvex
