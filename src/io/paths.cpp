#include "paths.h"

namespace orvex {

Status resolvePath(io::Fs& fs, const std::string& path, std::string* resolved) {
  return fs.resolvePath(path, resolved);
}

Status resolveOutputPath(io::Fs& fs, const std::string& path, std::string* resolved) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && io::isPathSeparator(trimmed.back())) trimmed.pop_back();
  size_t slash = std::string::npos;
  for (size_t i = 0; i < trimmed.size(); ++i) {
    if (io::isPathSeparator(trimmed[i])) slash = i;
  }
  const std::string parent = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : trimmed.substr(0, slash);
  const std::string last = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  std::string dir;
  const Status status = resolvePath(fs, parent, &dir);
  if (status.isOk()) *resolved = dir.back() == '/' ? dir + last : dir + "/" + last;
  return status;
}

Status checkMountPoint(io::Fs& fs, const std::string& path) {
  io::FileInfo point, parent;
  const io::Folder& here = io::Folder::working();
  if (Status s = fs.info(here, path, io::Follow::kYes, &point); !s.isOk()) return s;
  if (point.kind != io::FileKind::kFolder) return Status::invalid("not a folder");
  const std::string up = path == "/" ? path : path + "/..";
  if (Status s = fs.info(here, up, io::Follow::kYes, &parent); !s.isOk()) return s;
  // A mount point's device differs from its parent's (the root is its own parent).
  if (point.id.device != parent.id.device || point.id == parent.id)
    return Status::invalid("a file system is mounted there already");
  return Status::ok();
}

bool isInside(const std::string& path, const std::string& root) {
  if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0) return false;
  return root.back() == '/' || path[root.size()] == '/';
}

}  // namespace orvex
