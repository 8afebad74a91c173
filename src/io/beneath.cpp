#include "beneath.h"

#include <atomic>
#include <cerrno>

namespace orvex::io {
namespace {

std::atomic<bool> alwaysWalk{false};

bool isLink(Fs& fs, const Folder& base, const std::string& name) {
  FileInfo info;
  return fs.info(base, name, Follow::kNo, &info).isOk() && info.kind == FileKind::kLink;
}

// Retried while a rename races the lookup (EAGAIN) and on EINTR.
template <typename Open>
Status retrying(Open open) {
  for (int attempt = 0;; ++attempt) {
    const Status status = open();
    if (status.osError() == EINTR || (status.osError() == EAGAIN && attempt < 16)) continue;
    return status;
  }
}

Status openFolderBeneath(Fs& fs, const Folder& root, const std::string& path, Folder* folder) {
  return retrying([&] { return fs.openFolderBeneath(root, path, folder); });
}

bool isFolder(Fs& fs, const std::string& path) {
  FileInfo info;
  return fs.info(Folder::working(), path, Follow::kYes, &info).isOk() &&
         info.kind == FileKind::kFolder;
}

// Makes path and its missing ancestors. Those that stand already (a drive,
// a share, "/tmp") are not made again.
Status makeAll(Fs& fs, const std::string& path) {
  if (isFolder(fs, path)) return Status::ok();
  for (size_t end = 1; end <= path.size(); ++end) {
    if (end < path.size() && !isPathSeparator(path[end])) continue;
    const std::string prefix = path.substr(0, end);
    if (isFolder(fs, prefix)) continue;
    const Status made = fs.makeFolder(Folder::working(), prefix, 0777);
    if (!made.isOk() && made.osError() != EEXIST)
      return made.context("cannot create directory " + prefix);
  }
  return Status::ok();
}

Status linkInWay(const PathParts& parts, size_t count) {
  return Status::unsafe("passes through a link at " + joinParts(parts, count));
}

}  // namespace

void setWalkingResolution(bool always) { alwaysWalk = always; }

Status splitName(std::string_view name, PathParts* parts) {
  parts->clear();
  if (name.find('\0') != std::string_view::npos) return Status::invalid("a name with a NUL byte");
  if (!name.empty() && name.front() == '/') return Status::unsafe("an absolute name");
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part == "..") return Status::unsafe("a name that climbs out with ..");
    if (!part.empty() && part != ".") parts->emplace_back(part);
    start = end + 1;
  }
  return Status::ok();
}

std::string joinParts(const PathParts& parts, size_t count) {
  std::string path;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) path += '/';
    path += parts[i];
  }
  return path;
}

Status resolveError(const std::string& what, const Status& failed) {
  if (failed.osError() == EXDEV) return Status::unsafe("leads outside the output folder");
  if (failed.code() == Status::Code::kUnsafe) return failed;
  return failed.context(what);
}

Status Beneath::open(Fs& fs, const std::string& path, bool create, Beneath* root) {
  if (create) {
    if (Status s = makeAll(fs, path); !s.isOk()) return s;
  }
  Folder folder;
  if (Status s = fs.openFolder(Folder::working(), path, FolderIntent::kPass, Follow::kYes, &folder);
      !s.isOk())
    return s.context("cannot open " + path);
  root->fs_ = &fs;
  root->root_ = std::move(folder);
  root->walk_ = alwaysWalk;
  if (!root->walk_) {
    // Kernels before 5.6, and some sandboxes, cannot resolve beneath.
    Folder probe;
    const Status probed = openFolderBeneath(fs, root->root_, ".", &probe);
    root->walk_ = probed.osError() == ENOSYS || probed.osError() == EPERM;
  }
  return Status::ok();
}

Status Beneath::clone(Beneath* copy) const {
  Folder folder;
  if (Status s = fs_->reopenFolder(root_, FolderIntent::kPass, &folder); !s.isOk())
    return s.context("cannot open the folder again");
  copy->fs_ = fs_;
  copy->root_ = std::move(folder);
  copy->walk_ = walk_;
  return Status::ok();
}

Status Beneath::openStep(const Folder& base, const PathParts& parts, size_t index, Folder* folder) {
  if (!walk_) return openFolderBeneath(*fs_, root_, joinParts(parts, index + 1), folder);
  const Status opened =
      fs_->openFolder(base, parts[index], FolderIntent::kPass, Follow::kNo, folder);
  if (opened.osError() == ENOTDIR && isLink(*fs_, base, parts[index]))
    return linkInWay(parts, index + 1);
  return opened;
}

Status Beneath::openFolder(const PathParts& parts, size_t count, bool create, Folder* folder,
                           size_t* failedAt, const std::function<void(size_t)>& making) {
  *failedAt = count;
  if (!walk_) {
    const Status opened = openFolderBeneath(*fs_, root_, joinParts(parts, count), folder);
    // Without creation the whole path is enough; with it, find the first
    // missing folder and name the one in the way.
    if (opened.isOk() || !create || (opened.osError() != ENOENT && opened.osError() != ENOTDIR))
      return opened;
  }
  Folder current;
  for (size_t i = 0; i < count; ++i) {
    const Folder& base = current.valid() ? current : root_;
    Folder next;
    Status step = openStep(base, parts, i, &next);
    if (step.osError() == ENOENT && create) {
      if (making) making(i + 1);
      const Status made = fs_->makeFolder(base, parts[i], 0777);
      step = made.isOk() || made.osError() == EEXIST ? openStep(base, parts, i, &next) : made;
    }
    if (!step.isOk()) {
      *failedAt = i + 1;
      return step;
    }
    current = std::move(next);
  }
  if (!current.valid()) {
    if (Status s = fs_->reopenFolder(root_, FolderIntent::kPass, &current); !s.isOk()) return s;
  }
  *folder = std::move(current);
  return Status::ok();
}

Status Beneath::openFile(const PathParts& parts, FileIntent intent, File* file) {
  if (!walk_) {
    const std::string path = joinParts(parts, parts.size());
    return retrying([&] { return fs_->openFileBeneath(root_, path, intent, file); });
  }
  Folder folder;
  size_t failedAt = 0;
  if (Status s = openFolder(parts, parts.size() - 1, false, &folder, &failedAt); !s.isOk())
    return s.code() == Status::Code::kUnsafe ? Status::fromErrno(ELOOP) : s;
  return fs_->openFile(folder, parts.back(), intent, Follow::kNo, file);
}

}  // namespace orvex::io
