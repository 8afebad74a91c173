// Walking a folder tree of the user's: every entry below a folder, in name
// order, subfolders entered where they stand (links are entries, never
// entered).
#pragma once

#include <string>

#include "fs.h"
#include "status.h"

namespace orvex::io {

// One entry of the tree.
struct TreeEntry {
  std::string name;  // from the top folder, parts joined with '/'
  std::string path;  // the top folder's path with name after it
  FileInfo info;     // of the entry itself, a link not followed
};

class TreeVisitor {
 public:
  virtual ~TreeVisitor() = default;
  // Every entry that is not a folder.
  virtual void entry(const TreeEntry& entry) = 0;
  // A folder below the top holding nothing at all.
  virtual void emptyFolder(const std::string& /*name*/) {}
  // A folder that cannot be opened or listed (name is empty for the top);
  // the failure goes back to walkTree's caller, the folder's path in front,
  // unless the visitor tells to go on with the rest.
  virtual bool goOnAfter(const std::string& name, const std::string& path,
                         const Status& failure) = 0;
};

// Walks the tree at path. Folders are opened by path; with Follow::kNo, one
// that has become a link is refused.
Status walkTree(Fs& fs, const std::string& path, Follow follow, TreeVisitor& visitor);

}  // namespace orvex::io
