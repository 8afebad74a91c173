#include "medians.h"

#include <unistd.h>

namespace orvex::bench {

MedianCollector::MedianCollector()
    : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

void MedianCollector::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    if (run.error_occurred || run.run_type != Run::RT_Aggregate || run.aggregate_name != "median")
      continue;
    medians_.insert_or_assign(run.run_name.function_name, run);
    repetitions_ = run.repetitions;
  }
}

const benchmark::BenchmarkReporter::Run* MedianCollector::median(const std::string& name) const {
  const auto it = medians_.find(name);
  return it == medians_.end() ? nullptr : &it->second;
}

double counter(const benchmark::BenchmarkReporter::Run* run, const char* name) {
  if (!run) return 0;
  const auto it = run->counters.find(name);
  return it == run->counters.end() ? 0 : it->second.value;
}

std::vector<char*> withRepetitionDefaults(int argc, char** argv) {
  static char repetitions[] = "--benchmark_repetitions=5";
  static char aggregatesOnly[] = "--benchmark_display_aggregates_only=true";
  std::vector<char*> args{argv[0], repetitions, aggregatesOnly};
  args.insert(args.end(), argv + 1, argv + argc);
  args.push_back(nullptr);
  return args;
}

}  // namespace orvex::bench
