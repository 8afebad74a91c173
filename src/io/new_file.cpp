#include "new_file.h"

#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "file_io.h"

namespace orvex::io {
namespace {

constexpr char kTemporaryPrefix[] = ".orvex-tmp-";

std::string temporaryName(Fs& fs) {
  // Shared by every thread, so that no two pick one name.
  static std::atomic<unsigned> made{0};
  char name[64];
  std::snprintf(name, sizeof name, "%s%ld-%u", kTemporaryPrefix, fs.processId(), made.fetch_add(1));
  return name;
}

// The process in a temporary name, or 0 when the name is not one.
long temporaryOwner(const std::string& name) {
  const std::string prefix = kTemporaryPrefix;
  if (name.compare(0, prefix.size(), prefix) != 0) return 0;
  unsigned long pid = 0;
  unsigned count = 0;
  int end = 0;
  if (std::sscanf(name.c_str() + prefix.size(), "%lu-%u%n", &pid, &count, &end) != 2 ||
      prefix.size() + static_cast<size_t>(end) != name.size())
    return 0;
  return static_cast<long>(static_cast<int>(pid));
}

// Every folder is cleaned once a process.
void removeStaleTemporariesOnce(Fs& fs, const Folder& folder) {
  static std::mutex mutex;
  static std::set<FileId> cleaned;
  FileInfo info;
  if (!fs.info(folder, &info).isOk()) return;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!cleaned.insert(info.id).second) return;
  }
  removeStaleTemporaries(fs, folder);
}

}  // namespace

void removeStaleTemporaries(Fs& fs, const Folder& folder) {
  std::vector<FolderEntry> entries;
  if (!listFolder(fs, folder, &entries).isOk()) return;
  for (const FolderEntry& entry : entries) {
    const long owner = temporaryOwner(entry.name);
    if (owner <= 0 || owner == fs.processId() || entry.info.kind != FileKind::kFile) continue;
    if (fs.processMayRun(owner)) continue;  // its run may be alive
    File file;
    if (!fs.openFile(folder, entry.name, FileIntent::kReadNoWait, Follow::kNo, &file).isOk())
      continue;
    FileInfo info;
    if (!fs.info(file, &info).isOk() || info.id.node != entry.info.id.node) continue;
    if (fs.tryLock(file).isOk()) (void)fs.removeFile(folder, entry.name);
  }
}

Status openParent(Fs& fs, const std::string& path, Folder* folder, std::string* leaf) {
  size_t slash = std::string::npos;
  for (size_t i = 0; i < path.size(); ++i) {
    if (isPathSeparator(path[i])) slash = i;
  }
  *leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  if (leaf->empty() || *leaf == "." || *leaf == "..")
    return Status::invalid("names a folder, not a file");
  const std::string parent = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  return fs.openFolder(Folder::working(), parent, FolderIntent::kList, Follow::kYes, folder)
      .context("cannot open its folder");
}

NewFile::~NewFile() { discard(); }

void NewFile::discard() {
  // A name left behind is removed by a later run's clean-up.
  if (!temp_.empty()) (void)fs_.removeFile(*dir_, temp_);
  temp_.clear();
  undo_.withdraw();
  file_.reset();
}

Status NewFile::create(const Folder& folder, std::string leaf) {
  discard();
  dir_ = &folder;
  leaf_ = std::move(leaf);
  const Status unnamed = fs_.createUnnamed(folder, &file_);
  unnamed_ = unnamed.isOk();
  const int refused = unnamed.osError();
  if (!unnamed_ && refused != EOPNOTSUPP && refused != EISDIR && refused != EINVAL)
    return unnamed.context("cannot create");
  if (!unnamed_) {
    removeStaleTemporariesOnce(fs_, folder);
    Status made;
    for (int attempt = 0; attempt < 100; ++attempt) {
      temp_ = temporaryName(fs_);
      // Registered before the name exists, so that no signal finds it
      // unregistered.
      undo_.removeName(folder, temp_.c_str());
      made = fs_.openFile(folder, temp_, FileIntent::kCreateNew, Follow::kNo, &file_);
      if (made.osError() != EEXIST) break;
    }
    if (!made.isOk()) {
      temp_.clear();
      undo_.withdraw();
      return made.context("cannot create");
    }
    // The lock tells a later run's clean-up that this file is not stale.
    (void)fs_.tryLock(file_);
  }
  return Status::ok();
}

Status NewFile::sync() { return fs_.sync(file_).context("cannot write"); }

Status NewFile::linkUnderTemporaryName() {
  removeStaleTemporariesOnce(fs_, *dir_);
  (void)fs_.tryLock(file_);
  Status linked = Status::fromErrno(EEXIST);
  for (int attempt = 0; attempt < 100 && linked.osError() == EEXIST; ++attempt) {
    temp_ = temporaryName(fs_);
    undo_.removeName(*dir_, temp_.c_str());
    linked = fs_.linkUnnamed(file_, *dir_, temp_);
  }
  if (linked.isOk()) return linked;
  temp_.clear();
  undo_.withdraw();
  return linked.context("cannot create");
}

Status NewFile::publish(bool replace) {
  assert(file_.valid());
  if (unnamed_) {
    // Linking under the final name is the one step that leaves nothing
    // behind if the process dies around it; replacing needs a second name.
    const Status linked = fs_.linkUnnamed(file_, *dir_, leaf_);
    if (linked.isOk()) {
      file_.reset();
      return linked;
    }
    if (linked.osError() == EEXIST && !replace) return Status::exists("cannot create: File exists");
    if (linked.osError() != EEXIST) return linked.context("cannot create");
    if (Status s = linkUnderTemporaryName(); !s.isOk()) return s;
  }
  if (replace) {
    const Status renamed = fs_.rename(*dir_, temp_, *dir_, leaf_);
    if (!renamed.isOk()) {
      discard();
      return renamed.context("cannot write");
    }
    temp_.clear();
  } else {
    const Status linked = fs_.renameNoReplace(*dir_, temp_, *dir_, leaf_);
    if (linked.isOk()) temp_.clear();
    discard();
    if (linked.osError() == EEXIST) return Status::exists("cannot create: File exists");
    if (!linked.isOk()) return linked.context("cannot create");
  }
  discard();
  return Status::ok();
}

Status NewFile::syncFolder() {
  Folder folder;
  if (Status s = fs_.reopenFolder(*dir_, FolderIntent::kList, &folder); !s.isOk())
    return s.context("cannot sync its folder");
  return fs_.sync(folder).context("cannot sync its folder");
}

EmptyFolder::~EmptyFolder() {
  if (!path_.empty()) (void)fs_.removeFolder(Folder::working(), path_);
}

Status EmptyFolder::create() {
  const std::string parent = systemTemporaryFolder();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = parent + "/" + temporaryName(fs_);
    const Status made = fs_.makeFolder(Folder::working(), path, 0700);
    if (made.isOk()) {
      path_ = path;
      return made;
    }
    if (made.osError() != EEXIST) return made.context("cannot create a folder in " + parent);
  }
  return Status::fromErrno("cannot create a folder in " + parent, EEXIST);
}

Status OutputFile::about(const Status& status) const { return status.context(path_); }

Status OutputFile::create(const std::string& path, std::optional<uint32_t> permissions) {
  path_ = path;
  std::string leaf;
  Status status = openParent(fs_, path, &folder_, &leaf);
  if (status.isOk()) {
    removeStaleTemporaries(fs_, folder_);
    status = file_.create(folder_, leaf);
  }
  if (status.isOk() && permissions)
    status = fs_.setPermissions(file_.file(), *permissions).context("cannot set its mode");
  return about(status);
}

Status publishTogether(OutputFile& first, OutputFile* second, OutputFile* third) {
  OutputFile* const files[] = {&first, second, third};
  Status status;
  for (OutputFile* file : files)
    if (status.isOk() && file) status = file->about(file->file_.sync());
  if (!status.isOk()) return status;
  {
    const SignalsHeld held;
    for (OutputFile* file : files) {
      if (!status.isOk() || !file) continue;
      status = file->about(file->file_.publish(true));
      file->published_ = status.isOk();
    }
  }
  for (OutputFile* file : files)
    if (status.isOk() && file) status = file->about(file->file_.syncFolder());
  return status;
}

}  // namespace orvex::io
