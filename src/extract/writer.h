// Where a run's files and pieces go, chosen once for the run: into the
// output folder, or, in a dry run, nowhere, each shown and counted as a run
// would write it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ordered_output.h"
#include "output_dir.h"
#include "run_tally.h"
#include "store.h"

namespace orvex {

struct ExtractOptions;

// A file to take from the image, decided on by the walk.
struct WriteTask {
  uint64_t slot = 0;  // its place in walk order
  std::string name;
  std::string key;
  Location where;
};

class ExtractWriter {
 public:
  virtual ~ExtractWriter() = default;

  // Whether files may be written on worker threads, each into a folder of
  // its own cloned from the run's.
  virtual bool usesWorkers() const = 0;
  // Whether the output folder is left as it was (what the run would write
  // is then read from the store).
  virtual bool leavesFolder() const = 0;

  // Takes one file from the image into folder: the lines it shows go to
  // result, its length to *bytes. kExists when the file is there already.
  // Thread-safe across folders.
  virtual Status writeFile(const WriteTask& task, OutputDir& folder, std::vector<uint8_t>* buffer,
                           StepLines* result, uint64_t* bytes) = 0;
  virtual Status makeDirectories(const std::string& dir) = 0;
  // Puts a piece at path, replacing what stands there when replace (else
  // kExists when something does); the lines it shows go to *shown.
  virtual Status writePiece(const std::string& path, const uint8_t* data, size_t length,
                            bool replace, std::vector<Line>* shown) = 0;
  // How the warning of a differing piece the run replaces ends.
  virtual const char* replaced() const = 0;
  // A file as the run leaves the folder. kNotFound when there is none.
  virtual Status readBack(std::string_view name, std::vector<uint8_t>* bytes) = 0;
};

// The dry-run writer when options.dryRun, else the one that writes into out.
std::unique_ptr<ExtractWriter> makeWriter(const Store& store, OutputDir& out, RunTally& tally,
                                          const ExtractOptions& options);

}  // namespace orvex
