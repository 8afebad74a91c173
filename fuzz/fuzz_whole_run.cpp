// A whole extractor run on an arbitrary disc (see disc_input.h) in a fresh
// working directory. The run must finish with status 0, leave everything
// outside its working directory as it was, close every file it opened and
// leave no temporary file behind. A second run over the same tree may add
// files but never loses one.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "disc_input.h"
#include "run.h"
#include "sandbox.h"

namespace {

using orvex::fuzz::Tree;

int runOnce(orvex::fuzz::Sandbox& sandbox) {
  char program[] = "orvex", image[] = "../../disc.img", index[] = "../../disc.idx";
  char* argv[] = {program, image, index, nullptr};
  int status = -1;
  sandbox.inWork([&] { status = orvex::runExtractor(3, argv); });
  std::fflush(stdout);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The extractor's progress messages go nowhere; libFuzzer reports on stderr.
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  // Runs write on several threads, as they do on a machine with cores to
  // spare, unless the campaign says otherwise.
  setenv("ORVEX_JOBS", "3", 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static orvex::fuzz::Sandbox sandbox;
  const orvex::fuzz::WholeRunInput input = orvex::fuzz::decodeWholeRunInput(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  sandbox.resetWork();
  orvex::testing::writeBytes(sandbox.root() + "/disc.img", input.disc.image);
  orvex::testing::writeBytes(sandbox.root() + "/disc.idx", input.disc.index);
  const Tree outside = sandbox.outside();
  const int files = orvex::fuzz::openFileCount();

  // 1 says a file or piece was not written, or the input made no sense.
  const int firstStatus = runOnce(sandbox);
  FUZZ_CHECK(firstStatus == 0 || firstStatus == 1);
  FUZZ_CHECK(orvex::fuzz::openFileCount() == files);
  FUZZ_CHECK(sandbox.outside() == outside);
  const Tree first = sandbox.workTree();
  FUZZ_CHECK(!orvex::fuzz::hasTemporaryFile(first, text));
  if (!input.runTwice) return 0;

  const int secondStatus = runOnce(sandbox);
  FUZZ_CHECK(secondStatus == 0 || secondStatus == 1);
  FUZZ_CHECK(orvex::fuzz::openFileCount() == files);
  FUZZ_CHECK(sandbox.outside() == outside);
  const Tree second = sandbox.workTree();
  FUZZ_CHECK(!orvex::fuzz::hasTemporaryFile(second, text));
  for (const auto& [path, content] : first) FUZZ_CHECK(second.count(path) == 1);
  return 0;
}
