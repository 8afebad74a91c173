#include "output_dir.h"

#include <fcntl.h>

#include <cerrno>

#include "new_file.h"

namespace orvex {

Status OutputDir::open(const std::string& path, bool create, std::unique_ptr<OutputDir>* dir,
                       io::Fs& fs) {
  io::Beneath root;
  if (Status s = io::Beneath::open(fs, path, create, &root); !s.isOk()) return s;
  dir->reset(new OutputDir(std::move(root)));
  return Status::ok();
}

OutputDir::OutputDir(io::Beneath root) : root_(std::move(root)), copier_(root_.fs()) {
  const std::string self = "/proc/self/fd/" + std::to_string(root_.root());
  if (root_.fs().readLink(AT_FDCWD, self.c_str(), &rootPath_) != 0 || rootPath_.empty() ||
      rootPath_[0] != '/')
    rootPath_.clear();
}

void OutputDir::forgetParent() {
  parent_.reset();
  parentName_.clear();
  parentWhere_.reset();
}

std::optional<std::string> OutputDir::whereIs(int fd) const {
  if (rootPath_.empty()) return std::nullopt;
  std::string path;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (root_.fs().readLink(AT_FDCWD, self.c_str(), &path) != 0) return std::nullopt;
  if (path == rootPath_) return std::string();
  const std::string prefix = rootPath_ == "/" ? rootPath_ : rootPath_ + "/";
  if (path.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  return path.substr(prefix.size());
}

std::string OutputDir::reachKey(std::string_view name) {
  io::PathParts parts;
  if (!io::splitName(name, &parts).isOk() || parts.empty() || root_.walking() || rootPath_.empty())
    return io::joinParts(parts, parts.size());
  // The deepest folder on the way that exists.
  size_t count = parts.size() - 1;
  std::optional<std::string> where;
  int folder = -1;
  if (count == 0) {
    where = std::string();
  } else if (parentFolder(parts, false, &folder).isOk()) {
    if (!parentWhere_) parentWhere_ = whereIs(folder);
    where = parentWhere_;
  } else {
    while (!where && --count > 0) {
      io::Fd fd;
      size_t failedAt = 0;
      if (root_.openFolder(parts, count, false, &fd, &failedAt) != 0) continue;
      where = whereIs(fd.get());
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

Status OutputDir::parentFolder(const io::PathParts& parts, bool create, int* folder, int* error) {
  const size_t count = parts.size() - 1;
  if (count == 0) {
    *folder = root_.root();
    return Status::ok();
  }
  std::string key = io::joinParts(parts, count);
  if (parent_.valid() && parentName_ == key) {
    *folder = parent_.get();
    return Status::ok();
  }
  forgetParent();
  size_t failedAt = 0;
  io::Fd fd;
  if (const int err = root_.openFolder(parts, count, create, &fd, &failedAt); err != 0) {
    if (error != nullptr) *error = err;
    const std::string at = io::joinParts(parts, failedAt);
    return io::resolveError((create ? "cannot create directory " : "cannot open directory ") + at,
                            err, at);
  }
  parent_ = std::move(fd);
  parentName_ = std::move(key);
  *folder = parent_.get();
  return Status::ok();
}

Status OutputDir::look(std::string_view name, io::PathParts* parts, int* folder,
                       std::optional<struct stat>* st) {
  st->reset();
  if (Status s = io::splitName(name, parts); !s.isOk()) return s;
  if (parts->empty()) {
    *folder = root_.root();
    struct stat root {};
    root.st_mode = S_IFDIR;
    *st = root;
    return Status::ok();
  }
  int err = 0;
  if (Status s = parentFolder(*parts, false, folder, &err); !s.isOk())
    return err == ENOENT || err == ENOTDIR ? Status::ok() : s;  // a parent missing: absent
  struct stat found;
  err = root_.fs().stat(*folder, parts->back().c_str(), &found, AT_SYMLINK_NOFOLLOW);
  if (err == -ENOENT) return Status::ok();
  if (err != 0) {
    forgetParent();
    return Status::fromErrno("cannot look up", -err);
  }
  *st = found;
  return Status::ok();
}

Status OutputDir::probe(std::string_view name, Presence* presence) {
  io::PathParts parts;
  int folder = -1;
  std::optional<struct stat> st;
  if (Status s = look(name, &parts, &folder, &st); !s.isOk()) return s;
  *presence = !st                    ? Presence::kAbsent
              : S_ISDIR(st->st_mode) ? Presence::kDirectory
                                     : Presence::kPresent;
  return Status::ok();
}

Status OutputDir::inspect(std::string_view name, Kind* kind, std::vector<uint8_t>* bytes) {
  bytes->clear();
  io::PathParts parts;
  int folder = -1;
  std::optional<struct stat> st;
  if (Status s = look(name, &parts, &folder, &st); !s.isOk()) return s;
  const mode_t mode = st ? st->st_mode : 0;
  *kind = !st             ? Kind::kAbsent
          : S_ISREG(mode) ? Kind::kFile
          : S_ISLNK(mode) ? Kind::kLink
          : S_ISDIR(mode) ? Kind::kFolder
                          : Kind::kOther;
  if (*kind != Kind::kFile) return Status::ok();
  io::Fs& fs = root_.fs();
  const int fd = fs.open(folder, parts.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return Status::fromErrno("cannot read", -fd);
  const io::Fd file(fd);
  return io::readRegularFile(fs, fd, bytes);
}

std::unique_ptr<OutputDir> OutputDir::clone() const {
  io::Beneath copy;
  if (!root_.clone(&copy).isOk()) return nullptr;
  return std::unique_ptr<OutputDir>(new OutputDir(std::move(copy)));
}

Status OutputDir::createFile(std::string_view name, bool replace, const Filler& fill) {
  io::PathParts parts;
  if (Status s = io::splitName(name, &parts); !s.isOk()) return s;
  if (parts.empty()) return Status::invalid("no file name");
  int folder = -1;
  if (Status s = parentFolder(parts, true, &folder); !s.isOk()) return s;
  Status result;
  {
    // Discarded, when it fails, while its folder is still open.
    io::NewFile file(root_.fs());
    result = file.create(folder, parts.back());
    if (result.isOk()) result = fill(file.fd());
    if (result.isOk()) result = file.publish(replace);
  }
  if (!result.isOk() && result.code() != Status::Code::kExists) forgetParent();
  return result;
}

Status OutputDir::writeNew(std::string_view name, const uint8_t* data, size_t length) {
  return createFile(name, false,
                    [&](int fd) { return io::writeAll(root_.fs(), fd, data, length); });
}

Status OutputDir::copyNew(std::string_view name, int sourceFd, uint64_t offset, uint64_t length) {
  return createFile(name, false,
                    [&](int fd) { return copier_.copy(sourceFd, offset, length, fd); });
}

Status OutputDir::writeReplacing(std::string_view name, const uint8_t* data, size_t length) {
  return createFile(name, true, [&](int fd) { return io::writeAll(root_.fs(), fd, data, length); });
}

Status OutputDir::makeDirectories(std::string_view name) {
  io::PathParts parts;
  if (Status s = io::splitName(name, &parts); !s.isOk()) return s;
  if (parts.empty()) return Status::ok();
  // Resolving a child of the new folder makes it, and leaves it cached for
  // the files that go into it next.
  parts.emplace_back(".");
  int folder = -1;
  return parentFolder(parts, true, &folder);
}

Status OutputDir::readFile(std::string_view name, std::vector<uint8_t>* bytes) {
  io::PathParts parts;
  if (Status s = io::splitName(name, &parts); !s.isOk()) return s;
  if (parts.empty()) return Status::invalid("not a regular file");
  const int fd = root_.openFile(parts, O_RDONLY | O_NONBLOCK);
  if (fd == -ENOENT || fd == -ENOTDIR)
    return Status::notFound("cannot read: No such file or directory");
  if (fd == -ELOOP && root_.walking())
    return Status::unsafe("passes through a link at " + io::joinParts(parts, parts.size()));
  if (fd < 0) return io::resolveError("cannot read", -fd, io::joinParts(parts, parts.size()));
  const io::Fd file(fd);
  return io::readRegularFile(root_.fs(), fd, bytes);
}

}  // namespace orvex
