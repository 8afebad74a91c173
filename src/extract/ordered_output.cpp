#include "ordered_output.h"

namespace orvex {

uint64_t OrderedOutput::open() {
  steps_.emplace_back();
  return first_ + steps_.size() - 1;
}

void OrderedOutput::close(uint64_t step, StepLines lines) {
  Step& at = steps_[step - first_];
  at.done = true;
  at.lines = std::move(lines);
  while (!steps_.empty() && steps_.front().done) {
    const StepLines& front = steps_.front().lines;
    for (const Line& line : front.lines) {
      switch (line.kind) {
        case Line::Kind::kDumping:
          console_.nameLine("Dumping ", line.subject);
          break;
        case Line::Kind::kWritten:
          console_.nameLine("", line.subject);
          break;
        case Line::Kind::kWarning:
          console_.warning(line.subject, line.reason);
          break;
      }
    }
    if (front.wrote) afterWrite_();
    steps_.pop_front();
    ++first_;
  }
}

void OrderedOutput::show(Line line) {
  const uint64_t step = open();
  StepLines lines;
  lines.lines.push_back(std::move(line));
  close(step, std::move(lines));
}

}  // namespace orvex
