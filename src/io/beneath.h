// Resolving relative names beneath a root folder, so that nothing reached
// through them lies outside it, whatever links stand in it. The kernel does
// it where it can (links that stay inside are followed); where it cannot, or
// the program asks for it, one component at a time without following any
// link.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fs.h"
#include "status.h"

namespace orvex::io {

// A name split into its components, without empty and "." ones.
using PathParts = std::vector<std::string>;

// Splits a relative name; kUnsafe for an absolute name or a ".." part,
// kInvalid for a NUL byte.
Status splitName(std::string_view name, PathParts* parts);
std::string joinParts(const PathParts& parts, size_t count);

// Whether roots opened from now on resolve one component at a time even
// where the kernel could resolve beneath them (ORVEX_RESOLVE=walk).
void setWalkingResolution(bool always);

class Beneath {
 public:
  // Opens path as the root; with create, makes it and its missing
  // ancestors first.
  static Status open(Fs& fs, const std::string& path, bool create, Beneath* root);

  Fs& fs() const { return *fs_; }
  const Folder& root() const { return root_; }
  bool walking() const { return walk_; }
  // Another handle on the same root, for another thread.
  Status clone(Beneath* copy) const;

  // Opens the folder made of parts[0, count), creating missing folders when
  // create is set. A failure of the system keeps its error number; a link
  // met while walking is kUnsafe ("passes through a link at ..."); *failedAt
  // is the number of parts up to the one that failed. Before it makes a
  // folder, making, when given, is told the folder's number of parts.
  Status openFolder(const PathParts& parts, size_t count, bool create, Folder* folder,
                    size_t* failedAt, const std::function<void(size_t)>& making = nullptr);
  // Opens the file at parts (the last part never followed while walking);
  // a link on the way is ELOOP.
  Status openFile(const PathParts& parts, FileIntent intent, File* file);

 private:
  Status openStep(const Folder& base, const PathParts& parts, size_t index, Folder* folder);

  Fs* fs_ = nullptr;
  Folder root_;
  bool walk_ = false;
};

// The error of a failed resolution: kUnsafe for a way out or a link met,
// else the failure with what failed in front.
Status resolveError(const std::string& what, const Status& failed);

}  // namespace orvex::io
