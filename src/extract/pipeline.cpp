#include "pipeline.h"

#include <algorithm>
#include <memory>

namespace orvex {

WritePipeline::WritePipeline(const Store& store, OutputDir& out, ExtractWriter& writer,
                             RunTally& tally, Console& console, unsigned jobs,
                             std::function<void()> afterWrite)
    : store_(store),
      out_(out),
      writer_(writer),
      tally_(tally),
      output_(console, std::move(afterWrite)) {
  if (jobs <= 1) return;
  for (unsigned i = 0; i < jobs; ++i) {
    std::unique_ptr<OutputDir> folder = out.clone();
    if (!folder) break;
    workers_.emplace_back(
        [this, dir = std::shared_ptr<OutputDir>(std::move(folder))] { work(*dir); });
  }
}

WritePipeline::~WritePipeline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void WritePipeline::waitFor(const std::string& key) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !inFlight_.conflicts(key); });
}

void WritePipeline::submit(WriteTask task) {
  std::unique_lock<std::mutex> lock(mutex_);
  task.slot = output_.open();
  if (workers_.empty()) {
    lock.unlock();
    StepLines result;
    uint64_t bytes = 0;
    const Status status = writer_.writeFile(task, out_, &buffer_, &result, &bytes);
    lock.lock();
    settle(task, status, std::move(result), bytes);
    return;
  }
  // The walk runs ahead of the workers only so far.
  changed_.wait(lock, [&] { return queue_.size() < 4 * workers_.size(); });
  inFlight_.add(task.key);
  queue_.push_back(std::move(task));
  changed_.notify_all();
}

void WritePipeline::show(Line line) {
  std::lock_guard<std::mutex> lock(mutex_);
  output_.show(std::move(line));
}

void WritePipeline::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queue_.empty() && inFlight_.empty(); });
}

void WritePipeline::work(OutputDir& folder) {
  std::vector<uint8_t> buffer;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    WriteTask task = std::move(queue_.front());
    queue_.pop_front();
    changed_.notify_all();
    const uint64_t need = bytesNeeded(task.where);
    changed_.wait(lock, [&] { return budget_.allows(need); });
    budget_.take(need);
    lock.unlock();
    StepLines result;
    uint64_t bytes = 0;
    const Status status = writer_.writeFile(task, folder, &buffer, &result, &bytes);
    // A buffer grown for one large file is not kept for the next.
    if (buffer.capacity() > MemoryBudget::kBytes / workers_.size())
      std::vector<uint8_t>().swap(buffer);
    lock.lock();
    budget_.give(need);
    inFlight_.remove(task.key);
    settle(task, status, std::move(result), bytes);
    changed_.notify_all();
  }
}

// What decoding the entry holds in memory: the stored bytes it reads, and
// room for the length its trailer states.
uint64_t WritePipeline::bytesNeeded(const Location& where) const {
  if (!(where.entry->flags & FLAG_COMPRESSED)) return 0;
  const uint64_t size = where.entry->size;
  const uint64_t stated = statedLength(store_, where).value_or(0);
  const uint64_t reach = reachableStreamBytes(size, stated);
  return reach < size ? stated + reach : std::max(size, stated);
}

void WritePipeline::settle(const WriteTask& task, const Status& status, StepLines result,
                           uint64_t bytes) {
  if (status.code() == Status::Code::kExists) {
    // Appeared since it was looked for: kept as it is.
    tally_.addIfFirst(task.key, &RunStats::filesPresent);
  } else if (!status.isOk()) {
    tally_.addIfFirst(task.key, &RunStats::notWritten);
    result.lines.push_back({Line::Kind::kWarning, task.name, status.message()});
  } else {
    tally_.wrote(task.key, bytes);
  }
  output_.close(task.slot, std::move(result));
}

}  // namespace orvex
