#include "fs.h"

namespace orvex::io {

Status FsWrapper::openFile(const Folder& at, const std::string& path, FileIntent intent,
                           Follow follow, File* file) {
  return target_.openFile(at, path, intent, follow, file);
}

Status FsWrapper::openFolder(const Folder& at, const std::string& path, FolderIntent intent,
                             Follow follow, Folder* folder) {
  return target_.openFolder(at, path, intent, follow, folder);
}

Status FsWrapper::openFileBeneath(const Folder& root, const std::string& path, FileIntent intent,
                                  File* file) {
  return target_.openFileBeneath(root, path, intent, file);
}

Status FsWrapper::openFolderBeneath(const Folder& root, const std::string& path, Folder* folder) {
  return target_.openFolderBeneath(root, path, folder);
}

Status FsWrapper::reopenFolder(const Folder& folder, FolderIntent intent, Folder* copy) {
  return target_.reopenFolder(folder, intent, copy);
}

Status FsWrapper::createUnnamed(const Folder& at, File* file) {
  return target_.createUnnamed(at, file);
}

Status FsWrapper::linkUnnamed(const File& file, const Folder& at, const std::string& name) {
  return target_.linkUnnamed(file, at, name);
}

Status FsWrapper::read(const File& file, void* into, size_t length, size_t* done) {
  return target_.read(file, into, length, done);
}

Status FsWrapper::readAt(const File& file, void* into, size_t length, uint64_t offset,
                         size_t* done) {
  return target_.readAt(file, into, length, offset, done);
}

Status FsWrapper::write(const File& file, const void* data, size_t length, size_t* done) {
  return target_.write(file, data, length, done);
}

Status FsWrapper::writeAt(const File& file, const void* data, size_t length, uint64_t offset,
                          size_t* done) {
  return target_.writeAt(file, data, length, offset, done);
}

Status FsWrapper::copyRange(const File& from, uint64_t* fromOffset, const File& to, size_t length,
                            size_t* done) {
  return target_.copyRange(from, fromOffset, to, length, done);
}

Status FsWrapper::sendFile(const File& from, uint64_t* fromOffset, const File& to, size_t length,
                           size_t* done) {
  return target_.sendFile(from, fromOffset, to, length, done);
}

Status FsWrapper::cloneFile(const File& from, const File& to) {
  return target_.cloneFile(from, to);
}

Status FsWrapper::truncate(const File& file, uint64_t length) {
  return target_.truncate(file, length);
}

Status FsWrapper::sync(const Handle& handle) { return target_.sync(handle); }

Status FsWrapper::info(const Folder& at, const std::string& path, Follow follow, FileInfo* info) {
  return target_.info(at, path, follow, info);
}

Status FsWrapper::info(const Handle& handle, FileInfo* info) { return target_.info(handle, info); }

Status FsWrapper::readableLength(const File& file, uint64_t* length) {
  return target_.readableLength(file, length);
}

Status FsWrapper::listNames(const Folder& folder, std::vector<std::string>* names) {
  return target_.listNames(folder, names);
}

Status FsWrapper::readLink(const Folder& at, const std::string& path, std::string* target) {
  return target_.readLink(at, path, target);
}

Status FsWrapper::whereIs(const Folder& folder, std::string* path) {
  return target_.whereIs(folder, path);
}

Status FsWrapper::resolvePath(const std::string& path, std::string* resolved) {
  return target_.resolvePath(path, resolved);
}

Status FsWrapper::makeFolder(const Folder& at, const std::string& path, uint32_t permissions) {
  return target_.makeFolder(at, path, permissions);
}

Status FsWrapper::renameNoReplace(const Folder& fromAt, const std::string& from, const Folder& toAt,
                       const std::string& to) {
  return target_.renameNoReplace(fromAt, from, toAt, to);
}

Status FsWrapper::rename(const Folder& fromAt, const std::string& from, const Folder& toAt,
                         const std::string& to) {
  return target_.rename(fromAt, from, toAt, to);
}

Status FsWrapper::removeFile(const Folder& at, const std::string& path) {
  return target_.removeFile(at, path);
}

Status FsWrapper::removeFolder(const Folder& at, const std::string& path) {
  return target_.removeFolder(at, path);
}

Status FsWrapper::setPermissions(const File& file, uint32_t permissions) {
  return target_.setPermissions(file, permissions);
}

Status FsWrapper::tryLock(const File& file) { return target_.tryLock(file); }

NameRules FsWrapper::nameRules(const Folder& folder) { return target_.nameRules(folder); }

long FsWrapper::processId() { return target_.processId(); }

bool FsWrapper::processMayRun(long pid) { return target_.processMayRun(pid); }

}  // namespace orvex::io
