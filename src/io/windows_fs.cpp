// The file system of Windows, through its wide-character calls.
//
// Windows opens names by path, not relative to an open folder, so each
// folder the backend opens remembers its absolute path ("\\?\" form, which
// the system takes as it stands: the names joined onto it have passed the
// naming rules before they get here). Resolution beneath a root is left to
// the walk of one component at a time (openFileBeneath gives ENOSYS), and a
// component opened without following is refused when it is a reparse point
// of any kind: a symbolic link, a junction, a mount point. New files are
// opened with FILE_SHARE_DELETE, so that they can be renamed while open,
// which is how a finished file gets its name.
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "native_handle.h"
#include "windows_native.h"

namespace orvex::io {
namespace {

// What Folder::working() holds: names are resolved by the system against
// the process's working folder.
constexpr intptr_t kWorkingFolder = -100;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::mutex foldersMutex;
std::unordered_map<intptr_t, std::wstring> folderPaths;

void rememberFolder(intptr_t native, std::wstring path) {
  std::lock_guard<std::mutex> lock(foldersMutex);
  folderPaths[native] = std::move(path);
}

void forgetFolder(intptr_t native) {
  std::lock_guard<std::mutex> lock(foldersMutex);
  folderPaths.erase(native);
}

bool isFolderHandle(intptr_t native) {
  if (native == kWorkingFolder) return true;
  std::lock_guard<std::mutex> lock(foldersMutex);
  return folderPaths.count(native) != 0;
}

Status fromErrnoOnly(int err) { return Status::fromErrno(err); }

bool isAbsolute(std::wstring_view path) {
  return (!path.empty() && (path[0] == L'\\' || path[0] == L'/')) ||
         (path.size() >= 2 && path[1] == L':');
}

// The path the system is given for path within at.
Status joined(const Folder& at, const std::string& path, std::wstring* out) {
  std::wstring wide;
  if (!toWide(path, &wide)) return fromErrnoOnly(EILSEQ);
  const std::wstring base = folderPathOf(at);
  if (base.empty() || isAbsolute(wide)) {
    *out = wide.empty() ? L"." : wide;
    return Status::ok();
  }
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  *out = base;
  if (!wide.empty() && wide != L".") {
    out->push_back(L'\\');
    out->append(wide);
  }
  return Status::ok();
}

Status adopt(HANDLE native, Handle* handle) {
  if (native == INVALID_HANDLE_VALUE) return lastWindowsError();
  NativeHandle::adoptRaw(handle, reinterpret_cast<intptr_t>(native));
  return Status::ok();
}

Status succeeded(BOOL result) { return result ? Status::ok() : lastWindowsError(); }

// The absolute path the system knows an open handle by, "\\?\" form.
Status finalPath(HANDLE handle, std::wstring* path) {
  std::wstring buffer(512, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(handle, buffer.data(),
                                              static_cast<DWORD>(buffer.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) {
      // Some systems report a buffer too small instead of the size it needs.
      if (GetLastError() != ERROR_MORE_DATA || buffer.size() >= 32768) return lastWindowsError();
      buffer.resize(buffer.size() * 4);
      continue;
    }
    if (n < buffer.size()) {
      buffer.resize(n);
      *path = std::move(buffer);
      return Status::ok();
    }
    buffer.resize(n + 1);
  }
}

// path made absolute, in "\\?\" form.
Status fullPath(const std::wstring& path, std::wstring* absolute) {
  if (path.rfind(L"\\\\?\\", 0) == 0) {
    *absolute = path;
    return Status::ok();
  }
  const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return lastWindowsError();
  std::wstring full(n, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
  if (written == 0 || written >= n) return lastWindowsError();
  full.resize(written);
  *absolute = full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
  return Status::ok();
}

int64_t unixSeconds(const FILETIME& t, uint32_t* nanoseconds) {
  const uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  // 100-nanosecond ticks since 1601.
  constexpr uint64_t kTicksTo1970 = 116444736000000000ULL;
  const int64_t since = static_cast<int64_t>(ticks - kTicksTo1970);
  int64_t seconds = since / 10000000;
  int64_t rest = since % 10000000;
  if (rest < 0) {
    rest += 10000000;
    seconds -= 1;
  }
  *nanoseconds = static_cast<uint32_t>(rest * 100);
  return seconds;
}

FileTime timeOf(const FILETIME& t) {
  FileTime time;
  time.seconds = unixSeconds(t, &time.nanoseconds);
  return time;
}

Status describe(HANDLE handle, FileInfo* info) {
  const DWORD type = GetFileType(handle);
  *info = FileInfo{};
  if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
    info->kind = type == FILE_TYPE_CHAR ? FileKind::kDevice : FileKind::kPipe;
    info->permissions = 0666;
    info->id = {0, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle))};
    return Status::ok();
  }
  BY_HANDLE_FILE_INFORMATION facts;
  if (!GetFileInformationByHandle(handle, &facts)) return lastWindowsError();
  const DWORD attributes = facts.dwFileAttributes;
  info->kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? FileKind::kLink
               : (attributes & FILE_ATTRIBUTE_DIRECTORY)   ? FileKind::kFolder
                                                           : FileKind::kFile;
  info->size = info->kind == FileKind::kFile
                   ? (static_cast<uint64_t>(facts.nFileSizeHigh) << 32) | facts.nFileSizeLow
                   : 0;
  info->permissions = info->kind == FileKind::kFolder ? 0777 : 0666;
  if (attributes & FILE_ATTRIBUTE_READONLY) info->permissions &= ~0222u;
  info->id = {facts.dwVolumeSerialNumber,
              (static_cast<uint64_t>(facts.nFileIndexHigh) << 32) | facts.nFileIndexLow};
  info->accessed = timeOf(facts.ftLastAccessTime);
  info->modified = timeOf(facts.ftLastWriteTime);
  info->changed = info->modified;
  return Status::ok();
}

bool isReparsePoint(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION facts;
  return GetFileInformationByHandle(handle, &facts) &&
         (facts.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

HANDLE openNative(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags) {
  return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

DWORD chunk(size_t length) {
  return static_cast<DWORD>(std::min<size_t>(length, size_t{1} << 30));
}

OVERLAPPED at(uint64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

std::string foldWindowsCase(std::string_view name) {
  std::wstring wide;
  if (!toWide(name, &wide)) return std::string(name);
  if (!wide.empty()) CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
  return toUtf8(wide);
}

}  // namespace

bool toWide(std::string_view text, std::wstring* wide) {
  wide->clear();
  if (text.empty()) return true;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return false;
  wide->resize(static_cast<size_t>(n));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      wide->data(), n);
  return true;
}

std::string toUtf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(std::max(n, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                      nullptr, nullptr);
  return text;
}

HANDLE nativeHandle(const Handle& handle) {
  return reinterpret_cast<HANDLE>(NativeHandle::raw(handle));
}

std::wstring folderPathOf(const Folder& folder) {
  const intptr_t native = NativeHandle::raw(folder);
  if (native == kWorkingFolder) return {};
  std::lock_guard<std::mutex> lock(foldersMutex);
  const auto found = folderPaths.find(native);
  return found == folderPaths.end() ? std::wstring() : found->second;
}

int errnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_LOCK_VIOLATION:
      return EWOULDBLOCK;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_INVALID_NAME:
      return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return EOPNOTSUPP;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NEGATIVE_SEEK:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    default:
      return EIO;
  }
}

Status lastWindowsError() { return Status::fromErrno(errnoOf(GetLastError())); }

void Handle::reset() {
  if (owned_ && native_ != kNone && native_ != kWorkingFolder) {
    forgetFolder(native_);
    CloseHandle(reinterpret_cast<HANDLE>(native_));
  }
  native_ = kNone;
  owned_ = false;
}

Status Handle::close() {
  if (!owned_ || native_ == kNone || native_ == kWorkingFolder) {
    reset();
    return Status::ok();
  }
  const intptr_t native = native_;
  native_ = kNone;
  owned_ = false;
  forgetFolder(native);
  return succeeded(CloseHandle(reinterpret_cast<HANDLE>(native)));
}

const Folder& Folder::working() {
  static const Folder here = [] {
    Folder folder;
    NativeHandle::borrow(&folder, static_cast<int>(kWorkingFolder));
    return folder;
  }();
  return here;
}

class WindowsFs final : public Fs {
 public:
  Status openFile(const Folder& at, const std::string& path, FileIntent intent, Follow follow,
                  File* file) override {
    std::wstring where;
    if (Status s = joined(at, path, &where); !s.isOk()) return s;
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    // Opening a folder as a file succeeds, as on POSIX; reading it then fails.
    DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS;
    if (intent == FileIntent::kWrite) access = GENERIC_WRITE;
    if (intent == FileIntent::kCreateNew) {
      access = GENERIC_READ | GENERIC_WRITE | DELETE;
      disposition = CREATE_NEW;
      flags = FILE_ATTRIBUTE_NORMAL;
    }
    const bool noFollow = follow == Follow::kNo || intent == FileIntent::kCreateNew;
    if (noFollow) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    File opened;
    if (Status s = adopt(openNative(where, access, kShareAll, disposition, flags), &opened);
        !s.isOk())
      return s;
    if (noFollow && isReparsePoint(nativeHandle(opened))) return fromErrnoOnly(ELOOP);
    *file = std::move(opened);
    return Status::ok();
  }

  Status openFolder(const Folder& at, const std::string& path, FolderIntent intent,
                    Follow follow, Folder* folder) override {
    std::wstring where;
    if (Status s = joined(at, path, &where); !s.isOk()) return s;
    const DWORD access = intent == FolderIntent::kList
                             ? FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE
                             : FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (follow == Follow::kNo) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    Folder opened;
    if (Status s = adopt(openNative(where, access, kShareAll, OPEN_EXISTING, flags), &opened);
        !s.isOk())
      return s;
    FileInfo info;
    if (Status s = describe(nativeHandle(opened), &info); !s.isOk()) return s;
    // A link that is not followed is not a folder, as O_NOFOLLOW | O_DIRECTORY.
    if (info.kind != FileKind::kFolder) return fromErrnoOnly(ENOTDIR);
    std::wstring absolute;
    if (Status s = finalPath(nativeHandle(opened), &absolute); !s.isOk()) {
      // The path it was opened by names it as well: every part of it was
      // opened on the way.
      if (Status full = fullPath(where, &absolute); !full.isOk()) return s;
    }
    rememberFolder(NativeHandle::raw(opened), std::move(absolute));
    *folder = std::move(opened);
    return Status::ok();
  }

  Status openFileBeneath(const Folder&, const std::string&, FileIntent, File*) override {
    return fromErrnoOnly(ENOSYS);
  }
  Status openFolderBeneath(const Folder&, const std::string&, Folder*) override {
    return fromErrnoOnly(ENOSYS);
  }

  Status reopenFolder(const Folder& folder, FolderIntent intent, Folder* copy) override {
    if (NativeHandle::raw(folder) == kWorkingFolder)
      return openFolder(folder, ".", intent, Follow::kYes, copy);
    HANDLE duplicate = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), nativeHandle(folder), GetCurrentProcess(),
                         &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
      return lastWindowsError();
    Folder opened;
    NativeHandle::adoptRaw(&opened, reinterpret_cast<intptr_t>(duplicate));
    rememberFolder(NativeHandle::raw(opened), folderPathOf(folder));
    *copy = std::move(opened);
    return Status::ok();
  }

  Status createUnnamed(const Folder&, File*) override { return fromErrnoOnly(EOPNOTSUPP); }
  Status linkUnnamed(const File&, const Folder&, const std::string&) override {
    return fromErrnoOnly(EOPNOTSUPP);
  }

  Status read(const File& file, void* into, size_t length, size_t* done) override {
    DWORD n = 0;
    *done = 0;
    if (!ReadFile(nativeHandle(file), into, chunk(length), &n, nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return Status::ok();
      return Status::fromErrno(errnoOf(error));
    }
    *done = n;
    return Status::ok();
  }

  Status readAt(const File& file, void* into, size_t length, uint64_t offset,
                size_t* done) override {
    OVERLAPPED where = at(offset);
    DWORD n = 0;
    *done = 0;
    if (!ReadFile(nativeHandle(file), into, chunk(length), &n, &where)) {
      const DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF) return Status::ok();
      return Status::fromErrno(errnoOf(error));
    }
    *done = n;
    return Status::ok();
  }

  Status write(const File& file, const void* data, size_t length, size_t* done) override {
    DWORD n = 0;
    const BOOL wrote = WriteFile(nativeHandle(file), data, chunk(length), &n, nullptr);
    *done = n;
    return succeeded(wrote);
  }

  Status writeAt(const File& file, const void* data, size_t length, uint64_t offset,
                 size_t* done) override {
    OVERLAPPED where = at(offset);
    DWORD n = 0;
    const BOOL wrote = WriteFile(nativeHandle(file), data, chunk(length), &n, &where);
    *done = n;
    return succeeded(wrote);
  }

  Status copyRange(const File&, uint64_t*, const File&, size_t, size_t* done) override {
    *done = 0;
    return fromErrnoOnly(ENOSYS);
  }
  Status sendFile(const File&, uint64_t*, const File&, size_t, size_t* done) override {
    *done = 0;
    return fromErrnoOnly(ENOSYS);
  }
  Status cloneFile(const File&, const File&) override { return fromErrnoOnly(EOPNOTSUPP); }

  Status truncate(const File& file, uint64_t length) override {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return succeeded(
        SetFileInformationByHandle(nativeHandle(file), FileEndOfFileInfo, &end, sizeof end));
  }

  Status sync(const Handle& handle) override {
    // Folders are not flushed on Windows: their entries are the file
    // system's own metadata, which it keeps in its journal.
    if (isFolderHandle(NativeHandle::raw(handle))) return Status::ok();
    return succeeded(FlushFileBuffers(nativeHandle(handle)));
  }

  Status info(const Folder& at, const std::string& path, Follow follow, FileInfo* info) override {
    std::wstring where;
    if (Status s = joined(at, path, &where); !s.isOk()) return s;
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (follow == Follow::kNo) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    File opened;
    if (Status s = adopt(openNative(where, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, flags),
                         &opened);
        !s.isOk())
      return s;
    return describe(nativeHandle(opened), info);
  }

  Status info(const Handle& handle, FileInfo* info) override {
    if (NativeHandle::raw(handle) == kWorkingFolder)
      return this->info(Folder::working(), ".", Follow::kYes, info);
    return describe(nativeHandle(handle), info);
  }

  Status readableLength(const File& file, uint64_t* length) override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(nativeHandle(file), &size)) return lastWindowsError();
    *length = static_cast<uint64_t>(size.QuadPart);
    return Status::ok();
  }

  Status listNames(const Folder& folder, std::vector<std::string>* names) override {
    names->clear();
    std::wstring pattern = folderPathOf(folder);
    pattern += pattern.empty() ? L"*" : L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
      return GetLastError() == ERROR_FILE_NOT_FOUND ? Status::ok() : lastWindowsError();
    }
    do {
      const std::wstring_view name = found.cFileName;
      if (name != L"." && name != L"..") names->push_back(toUtf8(name));
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    return error == ERROR_NO_MORE_FILES ? Status::ok() : Status::fromErrno(errnoOf(error));
  }

  Status readLink(const Folder&, const std::string&, std::string*) override {
    return fromErrnoOnly(EINVAL);
  }

  Status whereIs(const Folder&, std::string*) override { return fromErrnoOnly(ENOSYS); }

  Status resolvePath(const std::string& path, std::string* resolved) override {
    std::wstring where;
    if (Status s = joined(Folder::working(), path, &where); !s.isOk()) return s;
    File opened;
    if (Status s = adopt(openNative(where, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS),
                         &opened);
        !s.isOk())
      return s;
    std::wstring absolute;
    if (Status s = finalPath(nativeHandle(opened), &absolute); !s.isOk()) return s;
    std::wstring_view shown = absolute;
    if (shown.substr(0, 8) == L"\\\\?\\UNC\\") {
      absolute = L"\\\\" + std::wstring(shown.substr(8));
    } else if (shown.substr(0, 4) == L"\\\\?\\") {
      absolute = std::wstring(shown.substr(4));
    }
    // Paths the program compares and joins use '/', which Windows takes too.
    for (wchar_t& c : absolute) {
      if (c == L'\\') c = L'/';
    }
    *resolved = toUtf8(absolute);
    return Status::ok();
  }

  Status makeFolder(const Folder& at, const std::string& path, uint32_t) override {
    std::wstring where;
    if (Status s = joined(at, path, &where); !s.isOk()) return s;
    return succeeded(CreateDirectoryW(where.c_str(), nullptr));
  }

  Status renameNoReplace(const Folder& fromAt, const std::string& from, const Folder& toAt,
                         const std::string& to) override {
    return move(fromAt, from, toAt, to, 0);
  }

  Status rename(const Folder& fromAt, const std::string& from, const Folder& toAt,
                const std::string& to) override {
    return move(fromAt, from, toAt, to, MOVEFILE_REPLACE_EXISTING);
  }

  Status removeFile(const Folder& at, const std::string& path) override {
    std::wstring where;
    if (Status s = joined(at, path, &where); !s.isOk()) return s;
    return succeeded(DeleteFileW(where.c_str()));
  }

  Status removeFolder(const Folder& at, const std::string& path) override {
    std::wstring where;
    if (Status s = joined(at, path, &where); !s.isOk()) return s;
    return succeeded(RemoveDirectoryW(where.c_str()));
  }

  // Windows has no access bits; the file keeps the attributes it was made with.
  Status setPermissions(const File&, uint32_t) override { return Status::ok(); }

  Status tryLock(const File& file) override {
    // One byte far past any data: a lock on Windows also bars reads and
    // writes through other handles, which the file's bytes must not suffer.
    OVERLAPPED where = at(uint64_t{1} << 62);
    return succeeded(LockFileEx(nativeHandle(file),
                                LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                                &where));
  }

  NameRules nameRules(const Folder&) override { return {true, &foldWindowsCase}; }

  long processId() override { return static_cast<long>(GetCurrentProcessId()); }

  bool processMayRun(long pid) override {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    const bool running = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
  }

 private:
  Status move(const Folder& fromAt, const std::string& from, const Folder& toAt,
              const std::string& to, DWORD flags) {
    std::wstring source, target;
    if (Status s = joined(fromAt, from, &source); !s.isOk()) return s;
    if (Status s = joined(toAt, to, &target); !s.isOk()) return s;
    return succeeded(MoveFileExW(source.c_str(), target.c_str(), flags));
  }
};

Fs& realFs() {
  static WindowsFs fs;
  return fs;
}

bool isPathSeparator(char c) { return c == '/' || c == '\\'; }

std::string systemTemporaryFolder() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  std::wstring path(buffer, n > 0 && n <= MAX_PATH ? n : 0);
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  return path.empty() ? "." : toUtf8(path);
}

}  // namespace orvex::io
