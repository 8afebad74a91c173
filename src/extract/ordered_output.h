// What the steps of a walk show, released in walk order: a step's lines wait
// until every step before it is done, so that a run on several threads
// prints exactly what a run on one prints. Not thread-safe: the caller holds
// its own lock around every call.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "console.h"

namespace orvex {

// One line that a step shows.
struct Line {
  enum class Kind { kDumping, kWritten, kWarning } kind;
  std::string subject;
  std::string reason;
};

// What one step showed, and whether it wrote a file (which redraws the
// progress line once its lines are out).
struct StepLines {
  std::vector<Line> lines;
  bool wrote = false;
};

class OrderedOutput {
 public:
  // afterWrite runs once the lines of a step that wrote are out.
  OrderedOutput(Console& console, std::function<void()> afterWrite)
      : console_(console), afterWrite_(std::move(afterWrite)) {}

  // Takes the next place in walk order.
  uint64_t open();
  // Fills a place and releases every finished step at the front.
  void close(uint64_t step, StepLines lines);
  // A step of one line, done at once.
  void show(Line line);

 private:
  struct Step {
    bool done = false;
    StepLines lines;
  };

  Console& console_;
  std::function<void()> afterWrite_;
  std::deque<Step> steps_;
  uint64_t first_ = 0;  // the walk-order number of steps_.front()
};

}  // namespace orvex
