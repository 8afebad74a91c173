// The one seam to the file system. Every file-system effect of every command
// is one of these calls, so that a test can put a double in its place (one
// that fails the Nth write, shortens writes or interrupts them) and see every
// caller cope. Each call is one system call, or the nearest thing to one:
// results are what the kernel returned, a negative error number on failure
// (never errno, which a double need not set). Retrying EINTR and short
// transfers is not done here but once, in the helpers of file_io.h.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvex::io {

class Fs {
 public:
  virtual ~Fs() = default;

  // openat(); O_CLOEXEC is always added. Returns the descriptor.
  virtual int open(int dir, const char* path, int flags, mode_t mode = 0);
  // openat2() with RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS: path may not
  // leave dir (-EXDEV when it would); links that stay inside are followed.
  // -ENOSYS where the kernel lacks it.
  virtual int openBeneath(int dir, const char* path, int flags, mode_t mode = 0);
  virtual ssize_t read(int fd, void* into, size_t length);
  virtual ssize_t pread(int fd, void* into, size_t length, uint64_t offset);
  virtual ssize_t write(int fd, const void* data, size_t length);
  virtual ssize_t pwrite(int fd, const void* data, size_t length, uint64_t offset);
  // copy_file_range() from *fromOffset (advanced) to to's file position.
  virtual ssize_t copyRange(int from, uint64_t* fromOffset, int to, size_t length);
  // sendfile() from *fromOffset (advanced) to to's file position.
  virtual ssize_t sendFile(int to, int from, uint64_t* fromOffset, size_t length);
  // Makes to share from's blocks (a reflink), where the file system can.
  virtual int cloneFile(int to, int from);
  virtual int stat(int dir, const char* path, struct stat* st, int flags);
  virtual int fstat(int fd, struct stat* st);
  // lseek(fd, 0, SEEK_END): the length of a file that can be read at offsets.
  virtual int64_t seekEnd(int fd);
  virtual int mkdir(int dir, const char* path, mode_t mode);
  virtual int link(int fromDir, const char* from, int toDir, const char* to, int flags);
  virtual int rename(int fromDir, const char* from, int toDir, const char* to);
  virtual int unlink(int dir, const char* path, int flags);
  virtual int sync(int fd);
  virtual int truncate(int fd, uint64_t length);
  // fchmod(): the mode as given, whatever the umask.
  virtual int chmod(int fd, mode_t mode);
  // readlinkat(): the target of the link at path.
  virtual int readLink(int dir, const char* path, std::string* target);
  // flock().
  virtual int lock(int fd, int operation);
  // The names in the folder open at dir, "." and ".." left out.
  virtual int listNames(int dir, std::vector<std::string>* names);
};

// The kernel's own file system.
Fs& realFs();

}  // namespace orvex::io
