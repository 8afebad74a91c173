#include "new_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

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

std::string temporaryName() {
  // Shared by every thread, so that no two pick one name.
  static std::atomic<unsigned> made{0};
  char name[64];
  std::snprintf(name, sizeof name, "%s%d-%u", kTemporaryPrefix, static_cast<int>(getpid()),
                made.fetch_add(1));
  return name;
}

// The pid in a temporary name, or 0 when the name is not one.
pid_t temporaryOwner(const std::string& name) {
  const std::string prefix = kTemporaryPrefix;
  if (name.compare(0, prefix.size(), prefix) != 0) return 0;
  unsigned long pid = 0;
  unsigned count = 0;
  int end = 0;
  if (std::sscanf(name.c_str() + prefix.size(), "%lu-%u%n", &pid, &count, &end) != 2 ||
      prefix.size() + static_cast<size_t>(end) != name.size())
    return 0;
  return static_cast<pid_t>(pid);
}

#ifdef ORVEX_LINUX
// A file without a name in its folder, given one later by linking
// /proc/self/fd/N: nothing is left behind if the process dies before.
constexpr int kUnnamedTemporary = O_TMPFILE | O_RDWR;
bool unnamedTemporariesLinkable() {
  static const bool linkable = access("/proc/self/fd", X_OK) == 0;
  return linkable;
}
#else
// Every new file starts under a temporary name.
constexpr int kUnnamedTemporary = 0;
bool unnamedTemporariesLinkable() { return false; }
#endif

// Every folder is cleaned once a process.
void removeStaleTemporariesOnce(Fs& fs, int dir) {
  static std::mutex mutex;
  static std::set<std::pair<dev_t, ino_t>> cleaned;
  struct stat st;
  if (fs.fstat(dir, &st) != 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!cleaned.emplace(st.st_dev, st.st_ino).second) return;
  }
  removeStaleTemporaries(fs, dir);
}

}  // namespace

void removeStaleTemporaries(Fs& fs, int dir) {
  std::vector<FolderEntry> entries;
  if (!listFolder(fs, dir, &entries).isOk()) return;
  for (const FolderEntry& entry : entries) {
    const pid_t owner = temporaryOwner(entry.name);
    if (owner <= 0 || owner == getpid() || !S_ISREG(entry.st.st_mode)) continue;
    if (kill(owner, 0) == 0 || errno != ESRCH) continue;  // its run may be alive
    const int fd = fs.open(dir, entry.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    Fd file(fd);
    struct stat st;
    if (fs.fstat(fd, &st) != 0 || st.st_ino != entry.st.st_ino) continue;
    if (fs.lock(fd, LOCK_EX | LOCK_NB) == 0) fs.unlink(dir, entry.name.c_str(), 0);
  }
}

Status openParent(Fs& fs, const std::string& path, Fd* dir, std::string* leaf) {
  const size_t slash = path.rfind('/');
  *leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  if (leaf->empty() || *leaf == "." || *leaf == "..")
    return Status::invalid("names a folder, not a file");
  const std::string parent = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int fd = fs.open(AT_FDCWD, parent.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return Status::fromErrno("cannot open its folder", -fd);
  dir->reset(fd);
  return Status::ok();
}

NewFile::~NewFile() { discard(); }

void NewFile::discard() {
  if (!temp_.empty()) fs_.unlink(dir_, temp_.c_str(), 0);
  temp_.clear();
  undo_.withdraw();
  file_.reset();
}

Status NewFile::create(int dir, std::string leaf, mode_t mode) {
  discard();
  dir_ = dir;
  leaf_ = std::move(leaf);
  int fd = unnamedTemporariesLinkable() ? fs_.open(dir, ".", kUnnamedTemporary, mode) : -EOPNOTSUPP;
  unnamed_ = fd >= 0;
  if (fd < 0 && fd != -EOPNOTSUPP && fd != -EISDIR && fd != -EINVAL)
    return Status::fromErrno("cannot create", -fd);
  if (!unnamed_) {
    removeStaleTemporariesOnce(fs_, dir);
    for (int attempt = 0; attempt < 100; ++attempt) {
      temp_ = temporaryName();
      // Registered before the name exists, so that no signal finds it
      // unregistered.
      undo_.removeName(dir, temp_.c_str());
      fd = fs_.open(dir, temp_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW, mode);
      if (fd != -EEXIST) break;
    }
    if (fd < 0) {
      temp_.clear();
      undo_.withdraw();
      return Status::fromErrno("cannot create", -fd);
    }
  }
  file_.reset(fd);
  // The lock tells a later run's clean-up that this file is not stale.
  if (!unnamed_) fs_.lock(fd, LOCK_EX | LOCK_NB);
  return Status::ok();
}

Status NewFile::sync() {
  const int err = fs_.sync(file_.get());
  return err == 0 ? Status::ok() : Status::fromErrno("cannot write", -err);
}

Status NewFile::linkUnderTemporaryName() {
  removeStaleTemporariesOnce(fs_, dir_);
  fs_.lock(file_.get(), LOCK_EX | LOCK_NB);
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", file_.get());
  int err = -EEXIST;
  for (int attempt = 0; attempt < 100 && err == -EEXIST; ++attempt) {
    temp_ = temporaryName();
    undo_.removeName(dir_, temp_.c_str());
    err = fs_.link(AT_FDCWD, self, dir_, temp_.c_str(), AT_SYMLINK_FOLLOW);
  }
  if (err == 0) return Status::ok();
  temp_.clear();
  undo_.withdraw();
  return Status::fromErrno("cannot create", -err);
}

Status NewFile::publish(bool replace) {
  assert(file_.valid());
  if (unnamed_) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", file_.get());
    // Linking under the final name is the one step that leaves nothing
    // behind if the process dies around it; replacing needs a second name.
    const int err = fs_.link(AT_FDCWD, self, dir_, leaf_.c_str(), AT_SYMLINK_FOLLOW);
    if (err == 0) {
      file_.reset();
      return Status::ok();
    }
    if (err == -EEXIST && !replace) return Status::exists("cannot create: File exists");
    if (err != -EEXIST) return Status::fromErrno("cannot create", -err);
    if (Status s = linkUnderTemporaryName(); !s.isOk()) return s;
  }
  int err = 0;
  if (replace) {
    err = fs_.rename(dir_, temp_.c_str(), dir_, leaf_.c_str());
    if (err != 0) {
      discard();
      return Status::fromErrno("cannot write", -err);
    }
    temp_.clear();
  } else {
    err = fs_.link(dir_, temp_.c_str(), dir_, leaf_.c_str(), 0);
    discard();
    if (err == -EEXIST) return Status::exists("cannot create: File exists");
    if (err != 0) return Status::fromErrno("cannot create", -err);
  }
  discard();
  return Status::ok();
}

Status NewFile::syncFolder() {
  const int fd = fs_.open(dir_, ".", O_RDONLY | O_DIRECTORY);
  if (fd < 0) return Status::fromErrno("cannot sync its folder", -fd);
  Fd folder(fd);
  const int err = fs_.sync(fd);
  return err == 0 ? Status::ok() : Status::fromErrno("cannot sync its folder", -err);
}

EmptyFolder::~EmptyFolder() {
  if (!path_.empty()) fs_.unlink(AT_FDCWD, path_.c_str(), AT_REMOVEDIR);
}

Status EmptyFolder::create() {
  const char* base = std::getenv("TMPDIR");
  const std::string parent = base != nullptr && *base == '/' ? base : "/tmp";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = parent + "/" + temporaryName();
    const int err = fs_.mkdir(AT_FDCWD, path.c_str(), 0700);
    if (err == 0) {
      path_ = path;
      return Status::ok();
    }
    if (err != -EEXIST) return Status::fromErrno("cannot create a folder in " + parent, -err);
  }
  return Status::fromErrno("cannot create a folder in " + parent, EEXIST);
}

Status OutputFile::about(const Status& status) const {
  return status.isOk() ? status : Status::ioError(path_ + ": " + status.message());
}

Status OutputFile::create(const std::string& path, mode_t mode, bool exactMode) {
  path_ = path;
  std::string leaf;
  Status status = openParent(fs_, path, &folder_, &leaf);
  if (status.isOk()) {
    removeStaleTemporaries(fs_, folder_.get());
    status = file_.create(folder_.get(), leaf, mode);
  }
  if (status.isOk() && exactMode) {
    if (const int err = fs_.chmod(file_.fd(), mode); err != 0)
      status = Status::fromErrno("cannot set its mode", -err);
  }
  return about(status);
}

Status publishTogether(OutputFile& first, OutputFile* second) {
  Status status = first.about(first.file_.sync());
  if (status.isOk() && second) status = second->about(second->file_.sync());
  if (!status.isOk()) return status;
  {
    const SignalsHeld held;
    status = first.about(first.file_.publish(true));
    first.published_ = status.isOk();
    if (status.isOk() && second) {
      status = second->about(second->file_.publish(true));
      second->published_ = status.isOk();
    }
  }
  if (status.isOk()) status = first.about(first.file_.syncFolder());
  if (status.isOk() && second) status = second->about(second->file_.syncFolder());
  return status;
}

}  // namespace orvex::io
