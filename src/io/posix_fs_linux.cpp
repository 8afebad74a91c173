// The calls of the POSIX backend that only Linux has. Without ORVEX_LINUX
// each gives the error that sends its callers down the portable path:
// names resolved one part at a time, temporary files with names, bytes
// copied by reading and writing.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "native_handle.h"
#include "posix_fs.h"

#ifdef ORVEX_LINUX
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#endif

namespace orvex::io {

#ifdef ORVEX_LINUX
namespace {

int fdOf(const Handle& handle) { return NativeHandle::fd(handle); }

int openBeneath(int root, const std::string& path, int flags) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) != 0 ? 0666 : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(syscall(SYS_openat2, root, path.c_str(), &how, sizeof how));
}

Status adoptOrFail(int fd, Handle* handle) {
  if (fd < 0) return lastError();
  NativeHandle::adopt(handle, fd);
  return Status::ok();
}

std::string selfLink(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Unnamed files are named by linking their /proc/self/fd entry, which a
// sandbox without /proc lacks.
bool unnamedFilesLinkable() {
  static const bool linkable = access("/proc/self/fd", X_OK) == 0;
  return linkable;
}

}  // namespace

Status PosixFs::openFileBeneath(const Folder& root, const std::string& path, FileIntent intent,
                                File* file) {
  return adoptOrFail(openBeneath(fdOf(root), path, openFlags(intent)), file);
}

Status PosixFs::openFolderBeneath(const Folder& root, const std::string& path, Folder* folder) {
  return adoptOrFail(openBeneath(fdOf(root), path, O_PATH | O_DIRECTORY), folder);
}

Status PosixFs::createUnnamed(const Folder& at, File* file) {
  if (!unnamedFilesLinkable()) return Status::fromErrno(EOPNOTSUPP);
  return adoptOrFail(::openat(fdOf(at), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666), file);
}

Status PosixFs::linkUnnamed(const File& file, const Folder& at, const std::string& name) {
  // A process that may link a file by its descriptor alone (it needs
  // CAP_DAC_READ_SEARCH) spares the system the walk through /proc. Refused
  // once, it is not tried again.
  static std::atomic<bool> byDescriptor{true};
  if (byDescriptor.load(std::memory_order_relaxed)) {
    if (::linkat(fdOf(file), "", fdOf(at), name.c_str(), AT_EMPTY_PATH) == 0) return Status::ok();
    if (errno != ENOENT && errno != EPERM) return lastError();
    byDescriptor.store(false, std::memory_order_relaxed);
  }
  const std::string self = selfLink(fdOf(file));
  if (::linkat(AT_FDCWD, self.c_str(), fdOf(at), name.c_str(), AT_SYMLINK_FOLLOW) != 0)
    return lastError();
  return Status::ok();
}

Status PosixFs::copyRange(const File& from, uint64_t* fromOffset, const File& to, size_t length,
                          size_t* done) {
  loff_t at = static_cast<loff_t>(*fromOffset);
  const ssize_t copied = copy_file_range(fdOf(from), &at, fdOf(to), nullptr, length, 0);
  *done = copied < 0 ? 0 : static_cast<size_t>(copied);
  if (copied < 0) return lastError();
  *fromOffset = static_cast<uint64_t>(at);
  return Status::ok();
}

Status PosixFs::sendFile(const File& from, uint64_t* fromOffset, const File& to, size_t length,
                         size_t* done) {
  off_t at = static_cast<off_t>(*fromOffset);
  const ssize_t sent = ::sendfile(fdOf(to), fdOf(from), &at, length);
  *done = sent < 0 ? 0 : static_cast<size_t>(sent);
  if (sent < 0) return lastError();
  *fromOffset = static_cast<uint64_t>(at);
  return Status::ok();
}

Status PosixFs::cloneFile(const File& from, const File& to) {
  if (ioctl(fdOf(to), FICLONE, fdOf(from)) != 0) return lastError();
  return Status::ok();
}

Status PosixFs::whereIs(const Folder& folder, std::string* path) {
  return readLink(Folder::working(), selfLink(fdOf(folder)), path);
}
#else
Status PosixFs::openFileBeneath(const Folder&, const std::string&, FileIntent, File*) {
  return Status::fromErrno(ENOSYS);
}
Status PosixFs::openFolderBeneath(const Folder&, const std::string&, Folder*) {
  return Status::fromErrno(ENOSYS);
}
Status PosixFs::createUnnamed(const Folder&, File*) { return Status::fromErrno(EOPNOTSUPP); }
Status PosixFs::linkUnnamed(const File&, const Folder&, const std::string&) {
  return Status::fromErrno(EOPNOTSUPP);
}
Status PosixFs::copyRange(const File&, uint64_t*, const File&, size_t, size_t* done) {
  *done = 0;
  return Status::fromErrno(ENOSYS);
}
Status PosixFs::sendFile(const File&, uint64_t*, const File&, size_t, size_t* done) {
  *done = 0;
  return Status::fromErrno(ENOSYS);
}
Status PosixFs::cloneFile(const File&, const File&) { return Status::fromErrno(EOPNOTSUPP); }
Status PosixFs::whereIs(const Folder&, std::string*) { return Status::fromErrno(ENOSYS); }
#endif

}  // namespace orvex::io
