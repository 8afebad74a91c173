#include <memory>

#include "output_dir.h"
#include "patch.h"

namespace orvex {

std::vector<LevelledFile> levelChangesFolder(const std::string& changesDir, const PatchPlan& plan,
                                             io::Fs& fs) {
  std::vector<LevelledFile> done;
  if (plan.staleFiles.empty()) return done;
  std::unique_ptr<OutputDir> folder;
  const Status opened = OutputDir::open(changesDir, false, &folder, fs);
  for (const StaleEventFile& stale : plan.staleFiles) {
    if (!opened.isOk()) {
      done.push_back({stale.file, opened});
      continue;
    }
    // An edit made since the plan read the file is never replaced.
    std::vector<uint8_t> there;
    Status status = folder->readFile(stale.file, &there);
    if (status.isOk() && there != stale.before)
      status = Status::exists("changed since the patch read it, kept");
    if (status.isOk())
      status = folder->writeReplacing(stale.file, stale.after.data(), stale.after.size());
    done.push_back({stale.file, status});
  }
  return done;
}

}  // namespace orvex
