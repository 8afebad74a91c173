// The workers that take files from the image into the output folder while
// the walk decides: a queue the walk fills only so far ahead, the keys of
// writes in flight, a budget of the decoded bytes held at once, and each
// step's lines released in walk order. Without workers the walk's own
// thread writes each file as it submits it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "in_flight.h"
#include "ordered_output.h"
#include "output_dir.h"
#include "run_tally.h"
#include "store.h"
#include "writer.h"

namespace orvex {

class WritePipeline {
 public:
  // Starts jobs workers when jobs > 1 (fewer when the folder cannot be
  // opened again for each); afterWrite runs once the lines of a file
  // written are out.
  WritePipeline(const Store& store, OutputDir& out, ExtractWriter& writer, RunTally& tally,
                Console& console, unsigned jobs, std::function<void()> afterWrite);
  ~WritePipeline();
  WritePipeline(const WritePipeline&) = delete;
  WritePipeline& operator=(const WritePipeline&) = delete;

  // Waits until no write in flight could decide key: the same file, or a
  // folder that one of the two needs where the other puts a file.
  void waitFor(const std::string& key);
  // Writes the file, or queues it for a worker; task.slot is set here.
  void submit(WriteTask task);
  // A line of the walk's own, after everything submitted before it.
  void show(Line line);
  // Waits until every file submitted is written.
  void drain();

 private:
  // The walk runs ahead of the workers by at most kQueueFull files; once
  // held back it goes on when the workers are down to kQueueLow, so that it
  // sleeps and wakes once for many files rather than once for each.
  static constexpr size_t kQueueFull = 64;
  static constexpr size_t kQueueLow = 16;

  void work(OutputDir& folder);
  uint64_t bytesNeeded(const Location& where) const;
  // Counts a write's outcome and releases its lines. With mutex_ held.
  void settle(const WriteTask& task, const Status& status, StepLines result, uint64_t bytes);
  // Sleeps until ready() holds; the workers wake the walk only then. With
  // lock held.
  void walkWaitUntil(std::unique_lock<std::mutex>& lock, std::function<bool()> ready);
  // Wakes the walk when what it waits for has come. With mutex_ held.
  void wakeWalkIfReady();

  const Store& store_;
  OutputDir& out_;
  ExtractWriter& writer_;
  RunTally& tally_;
  std::vector<uint8_t> buffer_;  // file bytes without workers, reused from file to file

  std::mutex mutex_;  // guards everything below
  std::condition_variable walkWakes_;
  std::function<bool()> walkWaitsFor_;  // empty while the walk runs
  std::condition_variable taskComes_;
  unsigned workersIdle_ = 0;  // waiting on taskComes_
  std::condition_variable budgetFrees_;
  unsigned workersHeld_ = 0;  // waiting on budgetFrees_
  OrderedOutput output_;
  std::deque<WriteTask> queue_;
  InFlight inFlight_;
  MemoryBudget budget_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace orvex
