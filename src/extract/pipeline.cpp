#include "pipeline.h"

#include <algorithm>
#include <memory>

namespace orvex {
namespace {

// A worker's buffer keeps its pages from file to file up to keep bytes,
// and gets room for a file at once, so that reading and decoding it never
// moves it. A larger file grows it as it goes, and it is given back after.
void makeRoom(std::vector<uint8_t>& buffer, uint64_t need, uint64_t keep) {
  if (buffer.capacity() >= need || need > keep) return;
  std::vector<uint8_t>().swap(buffer);
  buffer.reserve(need);
}

void keepAtMost(std::vector<uint8_t>& buffer, uint64_t keep) {
  if (buffer.capacity() > keep) std::vector<uint8_t>().swap(buffer);
}

}  // namespace

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
  taskComes_.notify_all();
  budgetFrees_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void WritePipeline::walkWaitUntil(std::unique_lock<std::mutex>& lock, std::function<bool()> ready) {
  while (!ready()) {
    walkWaitsFor_ = ready;
    walkWakes_.wait(lock);
  }
  walkWaitsFor_ = nullptr;
}

void WritePipeline::wakeWalkIfReady() {
  if (!walkWaitsFor_ || !walkWaitsFor_()) return;
  walkWaitsFor_ = nullptr;
  walkWakes_.notify_one();
}

void WritePipeline::waitFor(const std::string& key) {
  std::unique_lock<std::mutex> lock(mutex_);
  walkWaitUntil(lock, [&] { return !inFlight_.conflicts(key); });
}

void WritePipeline::submit(WriteTask task) {
  std::unique_lock<std::mutex> lock(mutex_);
  task.slot = output_.open();
  if (workers_.empty()) {
    lock.unlock();
    StepLines result;
    uint64_t bytes = 0;
    const Status status = writer_.writeFile(task, out_, &buffer_, &result, &bytes);
    keepAtMost(buffer_, MemoryBudget::kBytes);
    lock.lock();
    settle(task, status, std::move(result), bytes);
    return;
  }
  if (queue_.size() >= kQueueFull) walkWaitUntil(lock, [&] { return queue_.size() <= kQueueLow; });
  inFlight_.add(task.key);
  queue_.push_back(std::move(task));
  if (workersIdle_ > 0) taskComes_.notify_one();
}

void WritePipeline::show(Line line) {
  std::lock_guard<std::mutex> lock(mutex_);
  output_.show(std::move(line));
}

void WritePipeline::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  walkWaitUntil(lock, [&] { return queue_.empty() && inFlight_.empty(); });
}

void WritePipeline::work(OutputDir& folder) {
  std::vector<uint8_t> buffer;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (!stopping_ && queue_.empty()) {
      ++workersIdle_;
      taskComes_.wait(lock);
      --workersIdle_;
    }
    if (queue_.empty()) return;
    WriteTask task = std::move(queue_.front());
    queue_.pop_front();
    wakeWalkIfReady();
    const uint64_t need = bytesNeeded(task.where);
    while (!budget_.allows(need)) {
      ++workersHeld_;
      budgetFrees_.wait(lock);
      --workersHeld_;
    }
    budget_.take(need);
    lock.unlock();
    StepLines result;
    uint64_t bytes = 0;
    const uint64_t keep = MemoryBudget::kBytes / workers_.size();
    makeRoom(buffer, need, keep);
    const Status status = writer_.writeFile(task, folder, &buffer, &result, &bytes);
    keepAtMost(buffer, keep);
    lock.lock();
    budget_.give(need);
    if (need > 0 && workersHeld_ > 0) budgetFrees_.notify_all();
    inFlight_.remove(task.key);
    settle(task, status, std::move(result), bytes);
    wakeWalkIfReady();
  }
}

// What taking the entry out holds in memory: the stored bytes it reads, and
// room for the length its trailer states. Stored bytes of a plain image go
// from file to file without passing through memory.
uint64_t WritePipeline::bytesNeeded(const Location& where) const {
  if (!(where.entry->flags & FLAG_COMPRESSED)) {
    uint64_t start = 0;
    return store_.image.plainFile(&start) != nullptr ? 0 : where.entry->size;
  }
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
