#include "writer.h"

#include <mutex>
#include <unordered_set>

#include "extract.h"

namespace orvex {
namespace {

class FolderWriter final : public ExtractWriter {
 public:
  FolderWriter(const Store& store, OutputDir& out, const ExtractOptions& options)
      : store_(store),
        out_(out),
        dumpingLines_(options.dumpingLines),
        listWritten_(options.listWritten) {}

  bool usesWorkers() const override { return true; }
  bool leavesFolder() const override { return false; }

  Status writeFile(const WriteTask& task, OutputDir& folder, std::vector<uint8_t>* buffer,
                   StepLines* result, uint64_t* bytes) override {
    const Status put = copyOut(task, folder, buffer, result, bytes);
    if (put.isOk()) {
      if (listWritten_) result->lines.push_back({Line::Kind::kWritten, task.name, {}});
      result->wrote = true;
    }
    return put;
  }

  Status makeDirectories(const std::string& dir) override { return out_.makeDirectories(dir); }

  Status writePiece(const std::string& path, const uint8_t* data, size_t length, bool replace,
                    std::vector<Line>* shown) override {
    const Status put =
        replace ? out_.writeReplacing(path, data, length) : out_.writeNew(path, data, length);
    if (put.isOk() && listWritten_) shown->push_back({Line::Kind::kWritten, path, {}});
    return put;
  }

  const char* replaced() const override { return "replaced"; }

  Status readBack(std::string_view name, std::vector<uint8_t>* bytes) override {
    return out_.readFile(name, bytes);
  }

 private:
  Status copyOut(const WriteTask& task, OutputDir& folder, std::vector<uint8_t>* buffer,
                 StepLines* result, uint64_t* bytes) const {
    const Location& where = task.where;
    uint64_t start = 0;
    const io::File* plain = store_.image.plainFile(&start);
    // A raw image's data is read out of its sectors, as a compressed file's is decoded.
    if ((where.entry->flags & FLAG_COMPRESSED) || plain == nullptr) {
      bool form2 = false;
      const Status read = readLocated(store_, where, buffer, &form2);
      if (!read.isOk()) return Status::damaged(read.message() + ", not written");
      announce(task.name, result);
      if (form2) result->lines.push_back({Line::Kind::kWarning, task.name, FORM2_WARNING});
      *bytes = buffer->size();
      return folder.writeNew(task.name, buffer->data(), buffer->size());
    }
    // Stored bytes go from the image to the file without passing through
    // this process.
    announce(task.name, result);
    *bytes = where.entry->size;
    return folder.copyNew(task.name, *plain, start + where.offset, where.entry->size);
  }

  void announce(const std::string& name, StepLines* result) const {
    if (dumpingLines_) result->lines.push_back({Line::Kind::kDumping, name, {}});
  }

  const Store& store_;
  OutputDir& out_;
  const bool dumpingLines_;
  const bool listWritten_;
};

// Shows each file and piece a run would write, and counts it as written.
class DryRunWriter final : public ExtractWriter {
 public:
  DryRunWriter(const Store& store, OutputDir& out, RunTally& tally)
      : store_(store), out_(out), tally_(tally) {}

  bool usesWorkers() const override { return false; }
  bool leavesFolder() const override { return true; }

  // A file met twice is shown and counted once.
  Status writeFile(const WriteTask& task, OutputDir&, std::vector<uint8_t>*, StepLines* result,
                   uint64_t* bytes) override {
    const Location& where = task.where;
    const uint64_t size = where.entry->flags & FLAG_COMPRESSED
                              ? statedLength(store_, where).value_or(0)
                              : where.entry->size;
    if (!tally_.decide(task.key)) return Status::exists("decided on before");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wouldWrite_.insert(task.key);
    }
    *bytes = size;
    result->lines.push_back({Line::Kind::kWritten, task.name, {}});
    return Status::ok();
  }

  Status makeDirectories(const std::string&) override { return Status::ok(); }

  Status writePiece(const std::string& path, const uint8_t*, size_t, bool,
                    std::vector<Line>* shown) override {
    shown->push_back({Line::Kind::kWritten, path, {}});
    return Status::ok();
  }

  const char* replaced() const override { return "would be replaced"; }

  // What the run would have written is read where it would come from.
  Status readBack(std::string_view name, std::vector<uint8_t>* bytes) override {
    const Status read = out_.readFile(name, bytes);
    if (read.code() != Status::Code::kNotFound) return read;
    bool would = false;
    {
      const std::string key = out_.reachKey(name);
      std::lock_guard<std::mutex> lock(mutex_);
      would = wouldWrite_.contains(key);
    }
    return would ? readFile(store_, name, bytes) : read;
  }

 private:
  const Store& store_;
  OutputDir& out_;
  RunTally& tally_;
  std::mutex mutex_;  // guards wouldWrite_
  std::unordered_set<std::string> wouldWrite_;
};

}  // namespace

std::unique_ptr<ExtractWriter> makeWriter(const Store& store, OutputDir& out, RunTally& tally,
                                          const ExtractOptions& options) {
  if (options.dryRun) return std::make_unique<DryRunWriter>(store, out, tally);
  return std::make_unique<FolderWriter>(store, out, options);
}

}  // namespace orvex
