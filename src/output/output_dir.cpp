#include "output_dir.h"

#include <cerrno>
#include <mutex>
#include <unordered_set>

#include "file_names.h"
#include "new_file.h"

namespace orvex {

class OutputDir::RunEntries {
 public:
  void madeFolder(std::string key) {
    std::lock_guard<std::mutex> lock(mutex_);
    put_.insert(key);
    folders_.insert(std::move(key));
  }
  void put(std::string key) {
    std::lock_guard<std::mutex> lock(mutex_);
    put_.insert(std::move(key));
  }
  bool made(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return folders_.contains(key);
  }
  bool knownAbsent(const std::string& parent, const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return folders_.contains(parent) && !put_.contains(key);
  }

 private:
  mutable std::mutex mutex_;  // guards everything below
  std::unordered_set<std::string> folders_;
  std::unordered_set<std::string> put_;
};

Status OutputDir::open(const std::string& path, bool create, std::unique_ptr<OutputDir>* dir,
                       io::Fs& fs) {
  io::Beneath root;
  if (Status s = io::Beneath::open(fs, path, create, &root); !s.isOk()) return s;
  dir->reset(new OutputDir(std::move(root), std::make_shared<RunEntries>()));
  return Status::ok();
}

OutputDir::OutputDir(io::Beneath root, std::shared_ptr<RunEntries> entries)
    : root_(std::move(root)),
      entries_(std::move(entries)),
      rules_(root_.fs().nameRules(root_.root())),
      copier_(root_.fs()) {
  if (!root_.fs().whereIs(root_.root(), &rootPath_).isOk() || rootPath_.empty() ||
      rootPath_[0] != '/')
    rootPath_.clear();
}

Status OutputDir::split(std::string_view name, io::PathParts* parts) const {
  return io::splitName(fileNameFor(name, rules_), parts);
}

void OutputDir::forgetParent() {
  parent_.reset();
  parentName_.clear();
  parentWhere_.reset();
}

std::optional<std::string> OutputDir::whereIs(const io::Folder& folder) const {
  if (rootPath_.empty()) return std::nullopt;
  std::string path;
  if (!root_.fs().whereIs(folder, &path).isOk()) return std::nullopt;
  if (path == rootPath_) return std::string();
  const std::string prefix = rootPath_ == "/" ? rootPath_ : rootPath_ + "/";
  if (path.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  return path.substr(prefix.size());
}

std::string OutputDir::reachKey(std::string_view name) {
  io::PathParts parts;
  if (!split(name, &parts).isOk() || parts.empty() || root_.walking() || rootPath_.empty())
    return io::joinParts(parts, parts.size());
  // The deepest folder on the way that exists.
  size_t count = parts.size() - 1;
  std::optional<std::string> where;
  const io::Folder* folder = nullptr;
  if (count == 0) {
    where = std::string();
  } else if (parentFolder(parts, false, &folder).isOk()) {
    if (!parentWhere_) parentWhere_ = whereIs(*folder);
    where = parentWhere_;
  } else {
    while (!where && --count > 0) {
      io::Folder found;
      size_t failedAt = 0;
      if (knownMissing(parts, count, &failedAt)) continue;
      if (!root_.openFolder(parts, count, false, &found, &failedAt).isOk()) continue;
      where = whereIs(found);
      if (!where) return io::joinParts(parts, parts.size());
    }
    if (count == 0) where = std::string();
  }
  if (!where) return io::joinParts(parts, parts.size());
  std::string key = *where;
  for (size_t i = count; i < parts.size(); ++i) {
    if (!key.empty()) key += '/';
    key += parts[i];
  }
  return key;
}

Status OutputDir::parentFolder(const io::PathParts& parts, bool create, const io::Folder** folder,
                               Status* failure) {
  const size_t count = parts.size() - 1;
  if (count == 0) {
    *folder = &root_.root();
    return Status::ok();
  }
  std::string key = io::joinParts(parts, count);
  if (parent_.valid() && parentName_ == key) {
    *folder = &parent_;
    return Status::ok();
  }
  forgetParent();
  size_t failedAt = 0;
  io::Folder found;
  Status opened;
  if (!create && knownMissing(parts, count, &failedAt)) {
    opened = Status::fromErrno(ENOENT);
  } else {
    // A folder is the run's before it exists, so that no file put into it
    // by another thread is put before the folder counts as the run's.
    opened = root_.openFolder(parts, count, create, &found, &failedAt, [&](size_t madeParts) {
      entries_->madeFolder(io::joinParts(parts, madeParts));
    });
    if (!create && opened.osError() == ENOENT) missing_.insert(io::joinParts(parts, failedAt));
  }
  if (!opened.isOk()) {
    const std::string at = io::joinParts(parts, failedAt);
    Status worded = io::resolveError(
        (create ? "cannot create directory " : "cannot open directory ") + at, opened);
    if (failure != nullptr) *failure = std::move(opened);
    return worded;
  }
  parent_ = std::move(found);
  parentName_ = std::move(key);
  *folder = &parent_;
  return Status::ok();
}

bool OutputDir::knownMissing(const io::PathParts& parts, size_t count, size_t* failedAt) const {
  if (missing_.empty()) return false;
  std::string key;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) key += '/';
    key += parts[i];
    if (missing_.contains(key) && !entries_->made(key)) {
      *failedAt = i + 1;
      return true;
    }
  }
  return false;
}

Status OutputDir::look(std::string_view name, io::PathParts* parts, const io::Folder** folder,
                       std::optional<io::FileInfo>* info) {
  info->reset();
  if (Status s = split(name, parts); !s.isOk()) return s;
  if (parts->empty()) {
    *folder = &root_.root();
    io::FileInfo root;
    root.kind = io::FileKind::kFolder;
    *info = root;
    return Status::ok();
  }
  Status failure;
  if (Status s = parentFolder(*parts, false, folder, &failure); !s.isOk()) {
    const int err = failure.osError();
    return err == ENOENT || err == ENOTDIR ? Status::ok() : s;  // a parent missing: absent
  }
  io::FileInfo found;
  const Status looked = root_.fs().info(**folder, parts->back(), io::Follow::kNo, &found);
  if (looked.osError() == ENOENT) return Status::ok();
  if (!looked.isOk()) {
    forgetParent();
    return looked.context("cannot look up");
  }
  *info = found;
  return Status::ok();
}

bool OutputDir::knownAbsent(std::string_view name) const {
  io::PathParts parts;
  return split(name, &parts).isOk() && parts.size() > 1 &&
         entries_->knownAbsent(io::joinParts(parts, parts.size() - 1),
                               io::joinParts(parts, parts.size()));
}

Status OutputDir::probe(std::string_view name, Presence* presence) {
  io::PathParts parts;
  const io::Folder* folder = nullptr;
  std::optional<io::FileInfo> info;
  if (Status s = look(name, &parts, &folder, &info); !s.isOk()) return s;
  *presence = !info                                 ? Presence::kAbsent
              : info->kind == io::FileKind::kFolder ? Presence::kDirectory
                                                    : Presence::kPresent;
  return Status::ok();
}

Status OutputDir::inspect(std::string_view name, Kind* kind, std::vector<uint8_t>* bytes) {
  bytes->clear();
  io::PathParts parts;
  const io::Folder* folder = nullptr;
  std::optional<io::FileInfo> info;
  if (Status s = look(name, &parts, &folder, &info); !s.isOk()) return s;
  *kind = !info                                 ? Kind::kAbsent
          : info->kind == io::FileKind::kFile   ? Kind::kFile
          : info->kind == io::FileKind::kLink   ? Kind::kLink
          : info->kind == io::FileKind::kFolder ? Kind::kFolder
                                                : Kind::kOther;
  if (*kind != Kind::kFile) return Status::ok();
  io::Fs& fs = root_.fs();
  io::File file;
  if (Status s =
          fs.openFile(*folder, parts.back(), io::FileIntent::kReadNoWait, io::Follow::kNo, &file);
      !s.isOk())
    return s.context("cannot read");
  return io::readRegularFile(fs, file, bytes);
}

std::unique_ptr<OutputDir> OutputDir::clone() const {
  io::Beneath copy;
  if (!root_.clone(&copy).isOk()) return nullptr;
  return std::unique_ptr<OutputDir>(new OutputDir(std::move(copy), entries_));
}

Status OutputDir::createFile(std::string_view name, bool replace, const Filler& fill) {
  io::PathParts parts;
  if (Status s = split(name, &parts); !s.isOk()) return s;
  if (parts.empty()) return Status::invalid("no file name");
  const io::Folder* folder = nullptr;
  if (Status s = parentFolder(parts, true, &folder); !s.isOk()) return s;
  Status result;
  {
    // Discarded, when it fails, while its folder is still open.
    io::NewFile file(root_.fs());
    result = file.create(*folder, parts.back());
    if (result.isOk()) result = fill(file.file());
    if (result.isOk()) result = file.publish(replace);
  }
  // Once published, or when something appeared there, the name stands.
  if (result.isOk() || result.code() == Status::Code::kExists)
    entries_->put(io::joinParts(parts, parts.size()));
  if (!result.isOk() && result.code() != Status::Code::kExists) forgetParent();
  return result;
}

Status OutputDir::writeNew(std::string_view name, const uint8_t* data, size_t length) {
  return createFile(name, false, [&](const io::File& file) {
    return io::writeAll(root_.fs(), file, data, length);
  });
}

Status OutputDir::copyNew(std::string_view name, const io::File& source, uint64_t offset,
                          uint64_t length) {
  return createFile(name, false, [&](const io::File& file) {
    return copier_.copy(source, offset, length, file);
  });
}

Status OutputDir::writeReplacing(std::string_view name, const uint8_t* data, size_t length) {
  return createFile(name, true, [&](const io::File& file) {
    return io::writeAll(root_.fs(), file, data, length);
  });
}

Status OutputDir::makeDirectories(std::string_view name) {
  io::PathParts parts;
  if (Status s = split(name, &parts); !s.isOk()) return s;
  if (parts.empty()) return Status::ok();
  // Resolving a child of the new folder makes it, and leaves it cached for
  // the files that go into it next.
  parts.emplace_back(".");
  const io::Folder* folder = nullptr;
  return parentFolder(parts, true, &folder);
}

Status OutputDir::readFile(std::string_view name, std::vector<uint8_t>* bytes) {
  io::PathParts parts;
  if (Status s = split(name, &parts); !s.isOk()) return s;
  if (parts.empty()) return Status::invalid("not a regular file");
  io::File file;
  const Status opened = root_.openFile(parts, io::FileIntent::kReadNoWait, &file);
  const int err = opened.osError();
  if (err == ENOENT || err == ENOTDIR)
    return Status::notFound("cannot read: No such file or directory");
  if (err == ELOOP && root_.walking())
    return Status::unsafe("passes through a link at " + io::joinParts(parts, parts.size()));
  if (!opened.isOk()) return io::resolveError("cannot read", opened);
  return io::readRegularFile(root_.fs(), file, bytes);
}

}  // namespace orvex
