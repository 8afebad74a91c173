#include "run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "console.h"
#include "extract.h"
#include "output_dir.h"
#include "store.h"
#include "terminal.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex IMAGE INDEX\n"
    "       orvex --help | --version\n"
    "Writes every file of the disc's store that its name lists and ./eventsTable name into\n"
    "the current folder, and cuts each event file into pieces.\n";

// The two open failures keep their exact standard-output form, without a
// line break; the reason follows on standard error on a line of its own.
int refuse(const char* format, const char* path, const Status& why) {
  std::printf(format, path);
  std::fflush(stdout);
  std::fprintf(stderr, "%sorvex: %s: %s\n", io::standardStreamsShareTarget() ? "\n" : "", path,
               shownName(why.message()).c_str());
  return 1;
}

}  // namespace

int runExtractor(int argc, char** argv) {
  std::printf("Orvex %s by Nalbo\n", VERSION_TEXT);
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("orvex %s\n", ORVEX_VERSION);
    return 0;
  }
  if (argc < 3) {
    std::fflush(stdout);
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (argc > 3) {
    std::string rest;
    for (int i = 3; i < argc; ++i) rest += std::string(" ") + argv[i];
    std::fflush(stdout);
    std::fprintf(stderr, "orvex: warning: arguments after the index are ignored:%s\n",
                 shownName(rest).c_str());
  }
  const std::string imagePath = argv[1], indexPath = argv[2];
  Store store;
  Problems oddities;
  StorePart failed = StorePart::kImage;
  const Status opened = openStore(imagePath, indexPath, &store, &oddities, &failed, io::realFs());
  if (!opened.isOk()) {
    return failed == StorePart::kImage ? refuse("Unable to open iso: \"%s\"", argv[1], opened)
                                       : refuse("Unable to open idx file: \"%s\"", argv[2], opened);
  }
  Console console(stdout, stderr, "orvex");
  for (const std::string& oddity : oddities.lines()) console.warning("", oddity);

  std::unique_ptr<OutputDir> out;
  const Status here = OutputDir::open(".", false, &out, io::realFs());
  if (!here.isOk()) {
    console.error("orvex: cannot use the current folder: " + here.message());
    return 1;
  }
  console.message("Loading name table");
  console.message("Start of dump...");
  ExtractOptions options;
  std::string jobsWarning;
  options.jobs = jobsFromSetting(std::getenv("ORVEX_JOBS"), &jobsWarning);
  if (!jobsWarning.empty()) console.warning("", jobsWarning);
  const RunStats stats = extractAll(store, *out, console, options);
  console.finish();
  console.error(runSummary(
      "orvex", stats, "orvex-tool list " + shellQuoted(imagePath) + " " + shellQuoted(indexPath)));
  const bool senseless = makesNoSense(oddities, stats.entriesReached);
  if (senseless) console.error(std::string("orvex: ") + MAKES_NO_SENSE_LINE);
  return stats.lostSomething() || senseless ? 1 : 0;
}

}  // namespace orvex
