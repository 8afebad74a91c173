#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "console.h"
#include "extract.h"
#include "new_file.h"
#include "output_dir.h"
#include "store.h"
#include "tool.h"
#include "wildcard.h"

namespace orvex {
namespace {

constexpr char kProgram[] = "orvex-tool: extract";

constexpr char kUsage[] =
    "usage: orvex-tool extract [OPTIONS] IMAGE INDEX [PATTERN...]\n"
    "\n"
    "Writes the disc's files into DIR the way orvex writes them into its current\n"
    "folder: every file the name lists and the event table name, and each event\n"
    "file cut into its pieces NAME/000.mset, NAME/001.mset, ... A file that\n"
    "already exists is never written again. Nor is anything replaced at a piece\n"
    "path: a piece that differs from its event file's cut (an edit, or a piece\n"
    "from before) is kept, with a warning, unless --refresh-pieces asks for\n"
    "orvex's way.\n"
    "\n"
    "With patterns, names are still learned from every list and the event table,\n"
    "but only the files whose names match are written, and only matching event\n"
    "files are cut. Patterns are shell wildcards matched against whole names;\n"
    "'*' also matches '/', and a pattern that names a folder selects everything\n"
    "under it. A pattern that matches no name is reported.\n"
    "\n"
    "  -C, --directory DIR\n"
    "                 write into DIR, created if missing (default: the current folder)\n"
    "  --events FILE  read the event table from FILE instead of DIR/eventsTable\n"
    "  --names FILE   also learn names from the names file FILE (repeatable): they\n"
    "                 reach only entries no other name reaches\n"
    "  -j, --jobs N   read, decode and write on N threads (default: ORVEX_JOBS, else\n"
    "                 every core); -j 1 runs on one thread. The output is the same.\n"
    "  --refresh-pieces\n"
    "                 rewrite pieces as orvex does: every piece that differs from\n"
    "                 its event file's cut, edited or not, or a link at a piece\n"
    "                 path, is replaced by the cut, with a warning\n"
    "  -n, --dry-run  write nothing: print each file and piece a run would write\n"
    "  -v, --verbose  print each file and piece written\n"
    "  -q, --quiet    print only warnings: no summary, no progress line\n"
    "  --index-in-image PATH\n"
    "                 the index is PATH of the image's ISO 9660 file system\n"
    "                 (see 'orvex-tool disc'); no INDEX operand is given\n"
    "  -h, --help     show this help\n"
    "\n"
    "Without --events the event table is DIR/eventsTable; when DIR has none and a\n"
    "list names one, the copy the list pass writes (or the store's, when a pattern\n"
    "leaves it out) is read.\n"
    "\n"
    "Exit status: 0 when every selected file was written or already present; 1 when\n"
    "one could not be written, a pattern matched no name, or the image, the index,\n"
    "DIR or the event table cannot be used; 2 on bad usage.\n";

const CommandSpec kCommand{"extract",
                           kUsage,
                           {directoryOption(),
                            eventsOption(),
                            namesOption(),
                            jobsOption(),
                            kIndexInImageOption,
                            {"--refresh-pieces"},
                            {"-n", "--dry-run"},
                            {"-v", "--verbose"},
                            {"-q", "--quiet"}}};

// The patterns of the command line, remembering which ones matched a name.
class Selection {
 public:
  explicit Selection(std::vector<std::string> patterns) : patterns_(std::move(patterns)) {
    for (const std::string& pattern : patterns_) {
      std::string bare = pattern;
      while (bare.size() > 1 && bare.back() == '/') bare.pop_back();
      bare_.push_back(std::move(bare));
    }
    matched_.assign(patterns_.size(), false);
  }

  // Every pattern is tried, so that each one that matches is recorded.
  bool matches(std::string_view name) {
    const std::string text(name);
    bool any = false;
    for (size_t i = 0; i < bare_.size(); ++i) {
      if (!selects(bare_[i], text)) continue;
      matched_[i] = true;
      any = true;
    }
    return any;
  }

  // Whether a pattern reaches into the folder dir: names it, names something
  // below it, or matches a piece there.
  bool reachesInto(std::string_view dir) const {
    const std::string folder(dir);
    for (const std::string& pattern : bare_) {
      if (pattern == folder || pattern.starts_with(folder + "/")) return true;
      if (wildcardMatches(pattern, folder + "/000.mset")) return true;
    }
    return false;
  }

  std::vector<std::string> unmatched() const {
    std::vector<std::string> patterns;
    for (size_t i = 0; i < patterns_.size(); ++i)
      if (!matched_[i]) patterns.push_back(patterns_[i]);
    return patterns;
  }

 private:
  // The name itself or a folder above it: literally, or as a wildcard in
  // which '*' also matches '/'.
  static bool selects(const std::string& pattern, const std::string& name) {
    if (name.starts_with(pattern) && (name.size() == pattern.size() || name[pattern.size()] == '/'))
      return true;
    return wildcardMatches(pattern, name);
  }

  std::vector<std::string> patterns_;  // as given, for messages
  std::vector<std::string> bare_;      // without trailing slashes
  std::vector<bool> matched_;
};

}  // namespace

int runExtractCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int status = 0;
  const std::optional<CommandLine> line = parseCommandLine(kCommand, args, out, err, &status);
  if (!line) return status;
  const std::optional<std::string> folder = line->value("-C"), events = line->value("--events");
  const bool verbose = line->has("-v"), quiet = line->has("-q"), dryRun = line->has("-n"),
             refreshPieces = line->has("--refresh-pieces");
  std::string jobsWarning;
  unsigned jobs = jobsFromSetting(std::getenv("ORVEX_JOBS"), &jobsWarning);
  if (line->has("-j")) {
    jobs = parseJobs(*line->value("-j"));
    jobsWarning.clear();
  }
  if (verbose && quiet) return usageError(err, kCommand, "-v and -q cannot be used together");
  DiscOperands disc;
  std::vector<std::string> patterns;
  if (!takeDiscOperands(*line, &disc, &patterns))
    return usageError(err, kCommand, "expected " + disc.words() + " [PATTERN...]");

  if (!eventsTableReadable("extract", events, err)) return 1;
  std::vector<GivenName> given;
  if (!readNamesFiles("extract", line->options, &given, err)) return 1;
  Store store;
  Problems oddities;
  if (!openCommandStore("extract", disc, &store, &oddities, err)) return 1;

  out.flush();
  err.flush();
  OstreamSink outSink(out), errSink(err);
  Console console(outSink, errSink, kProgram);
  if (quiet) console.hideProgress();
  if (!jobsWarning.empty()) console.warning("", jobsWarning);
  for (const std::string& oddity : oddities.lines()) console.warning("", oddity);

  std::unique_ptr<OutputDir> dir;
  // A dry run into a folder that is not there yet looks at an empty one.
  io::EmptyFolder empty(io::realFs());
  std::string target = folder.value_or(".");
  io::FileInfo info;
  if (dryRun &&
      io::realFs().info(io::Folder::working(), target, io::Follow::kYes, &info).osError() ==
          ENOENT) {
    if (Status s = empty.create(); s.isOk()) target = empty.path();
  }
  const Status made = OutputDir::open(target, !dryRun, &dir, io::realFs());
  if (!made.isOk()) {
    console.error(std::string(kProgram) + ": cannot use output folder " + folder.value_or(".") +
                  ": " + made.message());
    return 1;
  }

  Selection selection(patterns);
  ExtractOptions options;
  options.walk.eventsTablePath = events;
  options.walk.givenNames = std::move(given);
  if (!patterns.empty())
    options.selected = [&selection](std::string_view name) { return selection.matches(name); };
  options.dumpingLines = false;
  options.listWritten = verbose;
  options.refreshPieces = refreshPieces;
  options.keptPieceHint = "--refresh-pieces replaces it";
  options.dryRun = dryRun;
  if (!patterns.empty())
    options.selectsUnder = [&selection](std::string_view dir) {
      return selection.reachesInto(dir);
    };
  options.jobs = jobs;
  const RunStats stats = extractAll(store, *dir, console, options);
  console.finish();

  const std::vector<std::string> unmatched = selection.unmatched();
  for (const std::string& pattern : unmatched)
    console.error(std::string(kProgram) + ": " + shownName(pattern) +
                  ": not found in the disc's names");
  if (stats.notWritten)
    console.error(std::string(kProgram) + ": " +
                  counted(stats.notWritten, "selected file", "selected files") +
                  " could not be written (see the warnings above)");
  if (const std::string losses = otherLosses(stats); !losses.empty())
    console.error(std::string(kProgram) + ": " + losses + " (see the warnings above)");
  if (!quiet) {
    std::string listCommand = "orvex-tool list";
    if (folder) listCommand += " -C " + shellQuoted(*folder);
    if (events) listCommand += " --events " + shellQuoted(*events);
    if (disc.inImage) listCommand += " --index-in-image " + shellQuoted(disc.index);
    listCommand += ' ' + shellQuoted(disc.image);
    if (!disc.inImage) listCommand += ' ' + shellQuoted(disc.index);
    console.error(runSummary(kProgram, stats, listCommand));
  }
  // The warnings said why; with no name reaching an entry nothing was done.
  const bool senseless = makesNoSense(oddities, stats.entriesReached);
  if (senseless) console.error(std::string(kProgram) + ": " + MAKES_NO_SENSE_LINE);
  return stats.lostSomething() || !unmatched.empty() || senseless ? 1 : 0;
}

}  // namespace orvex
