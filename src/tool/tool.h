// The orvex-tool commands. Each takes the arguments that follow its name and
// returns the exit status: 0 on success, 1 on failure, 2 on bad usage (after
// printing its usage to err). --help prints the usage to out.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace orvex {

constexpr int EXIT_USAGE = 2;

// Runs the command named by args[0].
int runTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

using CommandRunner = int (*)(const std::vector<std::string>& args, std::ostream& out,
                              std::ostream& err);
struct ToolCommand {
  const char* name;
  CommandRunner run;
};
// Every command, in the order the usage lists them.
const std::vector<ToolCommand>& toolCommands();

int runPackCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runHashCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runListCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runExtractCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runCatCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runUnnamedCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runPatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runNamesCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runDiscCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
#ifdef ORVEX_HAVE_FUSE
int runMountCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
#endif

}  // namespace orvex
