// Console output as usual, plus each benchmark's median over repetitions
// kept for the closing summary that every benchmark program prints.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace orvex::bench {

class MedianCollector : public benchmark::ConsoleReporter {
 public:
  // Colors only on a terminal, so that saved output stays plain text.
  MedianCollector();
  void ReportRuns(const std::vector<Run>& runs) override;
  // The median run of a benchmark by its registered name, or nullptr when
  // it did not run (filtered out, failed, or run without repetitions).
  const Run* median(const std::string& name) const;
  int64_t repetitions() const { return repetitions_; }

 private:
  std::map<std::string, Run> medians_;
  int64_t repetitions_ = 0;
};

// A counter's value in a median run, or 0 when it is absent.
double counter(const benchmark::BenchmarkReporter::Run* run, const char* name);

// argv with defaults put in front of the caller's flags, which still win:
// five repetitions, and only their aggregates on the console.
std::vector<char*> withRepetitionDefaults(int argc, char** argv);

}  // namespace orvex::bench
