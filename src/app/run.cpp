#include "run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "extract.h"
#include "store.h"

namespace orvex {

int runExtractor(int argc, char** argv) {
  std::printf("Orvex %s by Nalbo\n", VERSION_TEXT);
  if (argc < 3) return 2;

  Store store;
  if (!openImage(argv[1], &store.image)) {
    std::printf("Unable to open iso: \"%s\"", argv[1]);
    return 1;
  }
  const int indexFd = open(argv[2], O_RDONLY | O_CLOEXEC);
  std::string error;
  if (indexFd < 0 || !loadIndex(indexFd, &store.index, &error)) {
    if (indexFd >= 0) close(indexFd);
    closeImage(&store.image);
    std::printf("Unable to open idx file: \"%s\"", argv[2]);
    return 1;
  }
  close(indexFd);
  store.image.baseSector = findBootSector(store.image);

  Run run(store);
  std::optional<ProgressLine> progress;
  if (isatty(STDERR_FILENO)) run.progress = &progress.emplace(stderr);
  dumpAllNameLists(run);
  splitEventTable(run);
  closeImage(&store.image);
  if (run.progress) run.progress->clear();
  std::fflush(stdout);
  std::fputs(runSummary(run).c_str(), stderr);
  return 0;
}

}  // namespace orvex
