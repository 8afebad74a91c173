#include "tree_walk.h"

#include <vector>

#include "file_io.h"

namespace orvex::io {
namespace {

Status walkFolder(Fs& fs, const std::string& path, const std::string& name, Follow follow,
                  TreeVisitor& visitor) {
  std::vector<FolderEntry> entries;
  {
    Folder folder;
    Status status = fs.openFolder(Folder::working(), path, FolderIntent::kList, follow, &folder);
    if (status.isOk()) status = listFolder(fs, folder, &entries);
    if (!status.isOk())
      return visitor.goOnAfter(name, path, status) ? Status::ok() : status.context(path);
  }
  if (entries.empty() && !name.empty()) visitor.emptyFolder(name);
  for (FolderEntry& entry : entries) {
    TreeEntry found{name.empty() ? entry.name : name + "/" + entry.name, path + "/" + entry.name,
                    entry.info};
    if (found.info.kind != FileKind::kFolder) {
      visitor.entry(found);
      continue;
    }
    if (Status s = walkFolder(fs, found.path, found.name, follow, visitor); !s.isOk()) return s;
  }
  return Status::ok();
}

}  // namespace

Status walkTree(Fs& fs, const std::string& path, Follow follow, TreeVisitor& visitor) {
  return walkFolder(fs, path, "", follow, visitor);
}

}  // namespace orvex::io
