#include "posix_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "native_handle.h"

namespace orvex::io {
namespace {

int fdOf(const Handle& handle) { return NativeHandle::fd(handle); }

Status adoptOrFail(int fd, Handle* handle) {
  if (fd < 0) return lastError();
  NativeHandle::adopt(handle, fd);
  return Status::ok();
}

Status done(int result) { return result < 0 ? lastError() : Status::ok(); }

Status moved(ssize_t result, size_t* count) {
  *count = result < 0 ? 0 : static_cast<size_t>(result);
  return result < 0 ? lastError() : Status::ok();
}

FileTime timeOf(const timespec& t) {
  return {static_cast<int64_t>(t.tv_sec), static_cast<uint32_t>(t.tv_nsec)};
}

void describe(const struct stat& st, FileInfo* info) {
  info->kind = S_ISREG(st.st_mode)                          ? FileKind::kFile
               : S_ISDIR(st.st_mode)                        ? FileKind::kFolder
               : S_ISLNK(st.st_mode)                        ? FileKind::kLink
               : S_ISFIFO(st.st_mode)                       ? FileKind::kPipe
               : S_ISSOCK(st.st_mode)                       ? FileKind::kSocket
               : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? FileKind::kDevice
                                                            : FileKind::kOther;
  info->size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  info->permissions = static_cast<uint32_t>(st.st_mode & 07777);
  info->id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
#ifdef __APPLE__
  info->accessed = timeOf(st.st_atimespec);
  info->modified = timeOf(st.st_mtimespec);
  info->changed = timeOf(st.st_ctimespec);
#else
  info->accessed = timeOf(st.st_atim);
  info->modified = timeOf(st.st_mtim);
  info->changed = timeOf(st.st_ctim);
#endif
}

}  // namespace

Status lastError() { return Status::fromErrno(errno); }

int openFlags(FileIntent intent) {
  switch (intent) {
    case FileIntent::kRead:
      return O_RDONLY | O_CLOEXEC;
    case FileIntent::kReadNoWait:
      return O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    case FileIntent::kWrite:
      return O_WRONLY | O_CLOEXEC;
    case FileIntent::kCreateNew:
      return O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  }
  return O_RDONLY | O_CLOEXEC;
}

void Handle::reset() {
  if (owned_ && native_ >= 0) ::close(static_cast<int>(native_));
  native_ = kNone;
  owned_ = false;
}

Status Handle::close() {
  if (!owned_ || native_ < 0) {
    reset();
    return Status::ok();
  }
  const int fd = static_cast<int>(native_);
  native_ = kNone;
  owned_ = false;
  return ::close(fd) == 0 || errno == EINTR ? Status::ok() : lastError();
}

const Folder& Folder::working() {
  static const Folder here = [] {
    Folder folder;
    NativeHandle::borrow(&folder, AT_FDCWD);
    return folder;
  }();
  return here;
}

Status PosixFs::openFile(const Folder& at, const std::string& path, FileIntent intent,
                         Follow follow, File* file) {
  const int flags = openFlags(intent) | (follow == Follow::kNo ? O_NOFOLLOW : 0);
  return adoptOrFail(::openat(fdOf(at), path.c_str(), flags, 0666), file);
}

namespace {

int folderFlags(FolderIntent intent, Follow follow) {
  int flags = O_DIRECTORY | O_CLOEXEC | (follow == Follow::kNo ? O_NOFOLLOW : 0);
#ifdef O_PATH
  if (intent == FolderIntent::kPass) return flags | O_PATH;
#else
  (void)intent;
#endif
  return flags | O_RDONLY;
}

}  // namespace

Status PosixFs::openFolder(const Folder& at, const std::string& path, FolderIntent intent,
                           Follow follow, Folder* folder) {
  return adoptOrFail(::openat(fdOf(at), path.c_str(), folderFlags(intent, follow)), folder);
}

Status PosixFs::reopenFolder(const Folder& folder, FolderIntent intent, Folder* copy) {
  if (intent == FolderIntent::kPass)
    return adoptOrFail(fcntl(fdOf(folder), F_DUPFD_CLOEXEC, 0), copy);
  return adoptOrFail(::openat(fdOf(folder), ".", folderFlags(intent, Follow::kYes)), copy);
}

Status PosixFs::read(const File& file, void* into, size_t length, size_t* count) {
  return moved(::read(fdOf(file), into, length), count);
}

Status PosixFs::readAt(const File& file, void* into, size_t length, uint64_t offset,
                       size_t* count) {
  return moved(::pread(fdOf(file), into, length, static_cast<off_t>(offset)), count);
}

Status PosixFs::write(const File& file, const void* data, size_t length, size_t* count) {
  return moved(::write(fdOf(file), data, length), count);
}

Status PosixFs::writeAt(const File& file, const void* data, size_t length, uint64_t offset,
                        size_t* count) {
  return moved(::pwrite(fdOf(file), data, length, static_cast<off_t>(offset)), count);
}

Status PosixFs::truncate(const File& file, uint64_t length) {
  return done(::ftruncate(fdOf(file), static_cast<off_t>(length)));
}

Status PosixFs::sync(const Handle& handle) { return done(::fsync(fdOf(handle))); }

Status PosixFs::info(const Folder& at, const std::string& path, Follow follow, FileInfo* info) {
  struct stat st;
  if (::fstatat(fdOf(at), path.c_str(), &st, follow == Follow::kNo ? AT_SYMLINK_NOFOLLOW : 0) != 0)
    return lastError();
  describe(st, info);
  return Status::ok();
}

Status PosixFs::info(const Handle& handle, FileInfo* info) {
  struct stat st;
  if (::fstat(fdOf(handle), &st) != 0) return lastError();
  describe(st, info);
  return Status::ok();
}

Status PosixFs::readableLength(const File& file, uint64_t* length) {
  const off_t end = ::lseek(fdOf(file), 0, SEEK_END);
  if (end < 0) return lastError();
  *length = static_cast<uint64_t>(end);
  return Status::ok();
}

Status PosixFs::listNames(const Folder& folder, std::vector<std::string>* names) {
  names->clear();
  // readdir() takes the descriptor for its own; it gets a copy.
  const int copy = ::openat(fdOf(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return lastError();
  DIR* stream = fdopendir(copy);
  if (stream == nullptr) {
    const Status failed = lastError();
    ::close(copy);
    return failed;
  }
  errno = 0;
  while (const dirent* entry = readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names->emplace_back(entry->d_name);
    errno = 0;
  }
  const int err = errno;
  closedir(stream);
  return err == 0 ? Status::ok() : Status::fromErrno(err);
}

Status PosixFs::readLink(const Folder& at, const std::string& path, std::string* target) {
  char buffer[4096];
  const ssize_t n = ::readlinkat(fdOf(at), path.c_str(), buffer, sizeof buffer);
  if (n < 0) return lastError();
  if (static_cast<size_t>(n) == sizeof buffer) return Status::fromErrno(ENAMETOOLONG);
  target->assign(buffer, static_cast<size_t>(n));
  return Status::ok();
}

Status PosixFs::resolvePath(const std::string& path, std::string* resolved) {
  std::unique_ptr<char, decltype(&std::free)> p(realpath(path.c_str(), nullptr), &std::free);
  if (!p) return lastError();
  *resolved = p.get();
  return Status::ok();
}

Status PosixFs::makeFolder(const Folder& at, const std::string& path, uint32_t permissions) {
  return done(::mkdirat(fdOf(at), path.c_str(), static_cast<mode_t>(permissions)));
}

Status PosixFs::renameNoReplace(const Folder& fromAt, const std::string& from,
                                const Folder& toAt, const std::string& to) {
  // A second name first, then the first one goes: linkat never replaces.
  if (::linkat(fdOf(fromAt), from.c_str(), fdOf(toAt), to.c_str(), 0) != 0) return lastError();
  (void)::unlinkat(fdOf(fromAt), from.c_str(), 0);
  return Status::ok();
}

NameRules PosixFs::nameRules(const Folder&) { return {}; }

Status PosixFs::rename(const Folder& fromAt, const std::string& from, const Folder& toAt,
                       const std::string& to) {
  return done(::renameat(fdOf(fromAt), from.c_str(), fdOf(toAt), to.c_str()));
}

Status PosixFs::removeFile(const Folder& at, const std::string& path) {
  return done(::unlinkat(fdOf(at), path.c_str(), 0));
}

Status PosixFs::removeFolder(const Folder& at, const std::string& path) {
  return done(::unlinkat(fdOf(at), path.c_str(), AT_REMOVEDIR));
}

Status PosixFs::setPermissions(const File& file, uint32_t permissions) {
  return done(::fchmod(fdOf(file), static_cast<mode_t>(permissions)));
}

Status PosixFs::tryLock(const File& file) { return done(::flock(fdOf(file), LOCK_EX | LOCK_NB)); }

long PosixFs::processId() { return static_cast<long>(getpid()); }

bool PosixFs::processMayRun(long pid) {
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

Fs& realFs() {
  static PosixFs fs;
  return fs;
}

std::string systemTemporaryFolder() {
  const char* base = std::getenv("TMPDIR");
  return base != nullptr && *base == '/' ? base : "/tmp";
}

bool isPathSeparator(char c) { return c == '/'; }

}  // namespace orvex::io
