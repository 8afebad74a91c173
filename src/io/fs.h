// The one seam to the file system. Every file-system effect of every command
// is one of these calls, made on the Fs object the command was given, so that
// a test can put a double in its place (one that fails the Nth write,
// shortens writes or interrupts them) and see every caller cope.
//
// Each call is one operation of the operating system, or the nearest thing
// to one, and reports what it gave: a failure is a Status whose osError() is
// the error number (errno's numbering on every platform), whose message is
// that error's text. Retrying interrupted calls and short transfers is not
// done here but once, in the helpers of file_io.h. Handles own what the
// operating system opened and close it when they go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "status.h"

namespace orvex::io {

// Something the operating system opened: closed when destroyed or reset.
class Handle {
 public:
  Handle() = default;
  ~Handle() { reset(); }
  Handle(Handle&& other) noexcept : native_(other.native_), owned_(other.owned_) {
    other.native_ = kNone;
    other.owned_ = false;
  }
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      native_ = other.native_;
      owned_ = other.owned_;
      other.native_ = kNone;
      other.owned_ = false;
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool valid() const { return native_ != kNone; }
  // Closes now, ignoring what the close reports.
  void reset();
  // Closes now, reporting a write the system reports late (NFS, quotas).
  [[nodiscard]] Status close();

 private:
  friend struct NativeHandle;
  static constexpr intptr_t kNone = -1;
  intptr_t native_ = kNone;
  bool owned_ = false;
};

// An open file: its bytes.
class File : public Handle {};

// An open folder: names are opened, made and removed in it.
class Folder : public Handle {
 public:
  // The process's working folder, where paths of the user's start.
  static const Folder& working();
};

// How a file is opened.
enum class FileIntent {
  kRead,        // an existing file, for reading
  kReadNoWait,  // the same, and opening a pipe or device does not wait for a writer
  kWrite,       // an existing file, for writing in place
  kCreateNew,   // a new file, for reading and writing; fails with EEXIST if the name stands
};

// How a folder is opened.
enum class FolderIntent {
  kList,  // its names can be listed and it can be flushed
  kPass,  // only names beneath it are opened: it need not be readable
};

// Whether the last part of a path is followed when it is a link. Links in
// the parts before it always are (except where a call says otherwise).
enum class Follow { kYes, kNo };

enum class FileKind { kFile, kFolder, kLink, kPipe, kSocket, kDevice, kOther };

// What tells two names of one file apart from names of two files.
struct FileId {
  uint64_t device = 0;
  uint64_t node = 0;
  bool operator==(const FileId&) const = default;
  auto operator<=>(const FileId&) const = default;
};

struct FileTime {
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;
};

struct FileInfo {
  FileKind kind = FileKind::kOther;
  uint64_t size = 0;
  uint32_t permissions = 0;  // the access bits, with set-id and sticky
  FileId id;
  FileTime accessed, modified, changed;
};

// What a file system makes of names. A file name is UTF-8 on every
// platform; the backend converts it where the system takes another form.
struct NameRules {
  // Windows' rules: '\\' separates as '/' does; a drive prefix ("c:"),
  // device names (NUL, CON, AUX, PRN, COM1-9, LPT1-9, with any extension),
  // a trailing dot or space, <>:"|?* and control bytes cannot be held, and a
  // name must be valid UTF-8 to reach the system unchanged.
  bool windows = false;
  // Names that differ only in case name one file: foldCase gives the key
  // they share (the system's own folding). Empty where case is kept.
  std::string (*foldCase)(std::string_view name) = nullptr;
};

class Fs {
 public:
  virtual ~Fs() = default;

  // Opening. A path is relative to at, or absolute.
  virtual Status openFile(const Folder& at, const std::string& path, FileIntent intent,
                          Follow follow, File* file) = 0;
  virtual Status openFolder(const Folder& at, const std::string& path, FolderIntent intent,
                            Follow follow, Folder* folder) = 0;
  // The same, resolved by the kernel beneath root: nothing on the way may
  // lead outside it (EXDEV when it would); links that stay inside are
  // followed, the last part's included. ENOSYS where the kernel cannot.
  virtual Status openFileBeneath(const Folder& root, const std::string& path, FileIntent intent,
                                 File* file) = 0;
  virtual Status openFolderBeneath(const Folder& root, const std::string& path, Folder* folder) = 0;
  // Another handle on an open folder; with kList, one that can be listed
  // and flushed whatever intent folder was opened with.
  virtual Status reopenFolder(const Folder& folder, FolderIntent intent, Folder* copy) = 0;

  // A new file without a name in at, for reading and writing, named later
  // by linkUnnamed: nothing is left if the process dies before.
  // EOPNOTSUPP where the system or file system cannot make one.
  virtual Status createUnnamed(const Folder& at, File* file) = 0;
  // Gives an unnamed file the name in at; EEXIST if the name stands.
  virtual Status linkUnnamed(const File& file, const Folder& at, const std::string& name) = 0;

  // Bytes. *done gets how many moved: fewer than asked is not a failure,
  // and 0 from a read is the end of the file.
  virtual Status read(const File& file, void* into, size_t length, size_t* done) = 0;
  virtual Status readAt(const File& file, void* into, size_t length, uint64_t offset,
                        size_t* done) = 0;
  virtual Status write(const File& file, const void* data, size_t length, size_t* done) = 0;
  virtual Status writeAt(const File& file, const void* data, size_t length, uint64_t offset,
                         size_t* done) = 0;
  // Copies inside the kernel from *fromOffset (advanced) to to's position:
  // the one way, then the other. ENOSYS where the kernel has no such call.
  virtual Status copyRange(const File& from, uint64_t* fromOffset, const File& to, size_t length,
                           size_t* done) = 0;
  virtual Status sendFile(const File& from, uint64_t* fromOffset, const File& to, size_t length,
                          size_t* done) = 0;
  // Makes to share from's blocks (a reflink), where the file system can.
  virtual Status cloneFile(const File& from, const File& to) = 0;
  virtual Status truncate(const File& file, uint64_t length) = 0;
  // Flushes the file's or folder's data to the disk.
  virtual Status sync(const Handle& handle) = 0;

  // Facts.
  virtual Status info(const Folder& at, const std::string& path, Follow follow, FileInfo* info) = 0;
  virtual Status info(const Handle& handle, FileInfo* info) = 0;
  // How far a file reads at offsets (a device's length, which info lacks).
  virtual Status readableLength(const File& file, uint64_t* length) = 0;
  // The names in the folder, "." and ".." left out, in no order.
  virtual Status listNames(const Folder& folder, std::vector<std::string>* names) = 0;
  // The target of the link at path.
  virtual Status readLink(const Folder& at, const std::string& path, std::string* target) = 0;
  // The absolute path an open folder is at, links resolved; ENOSYS where
  // the system cannot tell.
  virtual Status whereIs(const Folder& folder, std::string* path) = 0;
  // The absolute path with every link resolved; fails when it leads nowhere.
  virtual Status resolvePath(const std::string& path, std::string* resolved) = 0;

  // Names.
  virtual Status makeFolder(const Folder& at, const std::string& path, uint32_t permissions) = 0;
  // Moves from to to, never replacing: EEXIST if to stands (a link there
  // included, never followed). Others see the file under one name or the
  // other, never under none.
  virtual Status renameNoReplace(const Folder& fromAt, const std::string& from,
                                 const Folder& toAt, const std::string& to) = 0;
  // Moves from over to, replacing what stands there in one step.
  virtual Status rename(const Folder& fromAt, const std::string& from, const Folder& toAt,
                        const std::string& to) = 0;
  virtual Status removeFile(const Folder& at, const std::string& path) = 0;
  virtual Status removeFolder(const Folder& at, const std::string& path) = 0;

  // The access bits as given, whatever the umask.
  virtual Status setPermissions(const File& file, uint32_t permissions) = 0;
  // Takes the file's exclusive lock, without waiting: EWOULDBLOCK when
  // another holds it. The lock goes with the last handle on it.
  virtual Status tryLock(const File& file) = 0;

  // What names the file system in folder can hold and how it compares them.
  virtual NameRules nameRules(const Folder& folder) = 0;

  // The processes that own temporary files.
  virtual long processId() = 0;
  // Whether the process pid may still run (false only when it surely ended).
  virtual bool processMayRun(long pid) = 0;
};

// Forwards every call to another Fs: a double derives from it and changes
// the calls it is about.
class FsWrapper : public Fs {
 public:
  explicit FsWrapper(Fs& target) : target_(target) {}
  Fs& target() const { return target_; }

  Status openFile(const Folder& at, const std::string& path, FileIntent intent, Follow follow,
                  File* file) override;
  Status openFolder(const Folder& at, const std::string& path, FolderIntent intent, Follow follow,
                    Folder* folder) override;
  Status openFileBeneath(const Folder& root, const std::string& path, FileIntent intent,
                         File* file) override;
  Status openFolderBeneath(const Folder& root, const std::string& path, Folder* folder) override;
  Status reopenFolder(const Folder& folder, FolderIntent intent, Folder* copy) override;
  Status createUnnamed(const Folder& at, File* file) override;
  Status linkUnnamed(const File& file, const Folder& at, const std::string& name) override;
  Status read(const File& file, void* into, size_t length, size_t* done) override;
  Status readAt(const File& file, void* into, size_t length, uint64_t offset,
                size_t* done) override;
  Status write(const File& file, const void* data, size_t length, size_t* done) override;
  Status writeAt(const File& file, const void* data, size_t length, uint64_t offset,
                 size_t* done) override;
  Status copyRange(const File& from, uint64_t* fromOffset, const File& to, size_t length,
                   size_t* done) override;
  Status sendFile(const File& from, uint64_t* fromOffset, const File& to, size_t length,
                  size_t* done) override;
  Status cloneFile(const File& from, const File& to) override;
  Status truncate(const File& file, uint64_t length) override;
  Status sync(const Handle& handle) override;
  Status info(const Folder& at, const std::string& path, Follow follow, FileInfo* info) override;
  Status info(const Handle& handle, FileInfo* info) override;
  Status readableLength(const File& file, uint64_t* length) override;
  Status listNames(const Folder& folder, std::vector<std::string>* names) override;
  Status readLink(const Folder& at, const std::string& path, std::string* target) override;
  Status whereIs(const Folder& folder, std::string* path) override;
  Status resolvePath(const std::string& path, std::string* resolved) override;
  Status makeFolder(const Folder& at, const std::string& path, uint32_t permissions) override;
  Status renameNoReplace(const Folder& fromAt, const std::string& from, const Folder& toAt,
                         const std::string& to) override;
  NameRules nameRules(const Folder& folder) override;
  Status rename(const Folder& fromAt, const std::string& from, const Folder& toAt,
                const std::string& to) override;
  Status removeFile(const Folder& at, const std::string& path) override;
  Status removeFolder(const Folder& at, const std::string& path) override;
  Status setPermissions(const File& file, uint32_t permissions) override;
  Status tryLock(const File& file) override;
  long processId() override;
  bool processMayRun(long pid) override;

 private:
  Fs& target_;
};

// The operating system's own file system.
Fs& realFs();

// Where the system keeps temporary files ($TMPDIR, else /tmp, on POSIX).
std::string systemTemporaryFolder();
// Whether c separates the parts of a path of the user's ('/', and '\\' on
// Windows).
bool isPathSeparator(char c);

}  // namespace orvex::io
