#include <time.h>

#include <cinttypes>

#include "extract.h"
#include "human_bytes.h"

namespace orvex {
namespace {

double secondsNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

ProgressLine::ProgressLine(std::FILE* terminal) : terminal_(terminal), start_(secondsNow()) {}

void ProgressLine::update(const Run& run) {
  const double now = secondsNow();
  if (lastDrawn_ >= 0 && now - lastDrawn_ < 0.2) return;
  lastDrawn_ = now;
  const double elapsed = std::max(now - start_, 1e-3);
  std::fprintf(terminal_, "\r\033[K%" PRIu64 " of %zu entries, %s written, %s/s", run.reachedCount,
               run.reached.size(), humanBytes(static_cast<double>(run.stats.bytesWritten)).c_str(),
               humanBytes(static_cast<double>(run.stats.bytesWritten) / elapsed).c_str());
  std::fflush(terminal_);
  drawn_ = true;
}

void ProgressLine::clear() {
  if (!drawn_) return;
  std::fputs("\r\033[K", terminal_);
  std::fflush(terminal_);
  drawn_ = false;
}

std::string runSummary(const Run& run) {
  const uint64_t unreached = run.reached.size() - run.reachedCount;
  char text[320];
  std::snprintf(text, sizeof text,
                "orvex: %" PRIu64 " files written (%s), %" PRIu64 " already present, %" PRIu64
                " warnings; %" PRIu64 " of %zu index entries reached by no name%s\n",
                run.stats.filesWritten, humanBytes(static_cast<double>(run.stats.bytesWritten)).c_str(),
                run.stats.filesPresent, run.stats.warnings, unreached, run.reached.size(),
                unreached ? " (see them with: orvex-tool list IMAGE INDEX)" : "");
  return text;
}

}  // namespace orvex
