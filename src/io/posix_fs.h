// The file system of a POSIX system. Its Linux-only calls (openat2, unnamed
// files linked through /proc, copy_file_range, sendfile, FICLONE) are in
// posix_fs_linux.cpp, which without ORVEX_LINUX gives the errors that send
// every caller down its portable path.
#pragma once

#include "fs.h"

namespace orvex::io {

class PosixFs final : public Fs {
 public:
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
};

// The open() flags of an intent, O_CLOEXEC included.
int openFlags(FileIntent intent);
// The Status of a failed call: errno's error, its text as the message.
Status lastError();

}  // namespace orvex::io
