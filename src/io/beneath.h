// Resolving relative names beneath a root folder, so that nothing reached
// through them lies outside it, whatever links stand in it. The kernel does
// it where it can (openat2 with RESOLVE_BENEATH: links that stay inside are
// followed); where it cannot, or the program asks for it, one component at a
// time without following any link.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fd.h"
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

// A link met on the way in the walking mode, where links are not followed.
constexpr int kLinkInWay = -1;

class Beneath {
 public:
  // Opens path as the root; with create, makes it and its missing
  // ancestors first.
  static Status open(Fs& fs, const std::string& path, bool create, Beneath* root);

  Fs& fs() const { return *fs_; }
  int root() const { return root_.get(); }
  bool walking() const { return walk_; }
  // Another handle on the same root, for another thread.
  Status clone(Beneath* copy) const;

  // Opens the folder made of parts[0, count) as an O_PATH descriptor,
  // creating missing folders when create is set. Returns 0 or an error
  // number (kLinkInWay for a link met while walking); *failedAt is the
  // number of parts up to the one that failed.
  int openFolder(const PathParts& parts, size_t count, bool create, Fd* folder, size_t* failedAt);
  // Opens the file at parts with flags (the last part never followed while
  // walking). Returns the descriptor or a negative error number.
  int openFile(const PathParts& parts, int flags);

 private:
  int openStep(int base, const PathParts& parts, size_t index, Fd* folder);

  Fs* fs_ = nullptr;
  Fd root_;
  bool walk_ = false;
};

// The error of a failed resolution: kUnsafe for a way out or a link met,
// else an I/O error saying what failed.
Status resolveError(const std::string& what, int err, const std::string& at);

}  // namespace orvex::io
