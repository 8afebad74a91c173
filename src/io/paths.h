// Resolving the paths a user gives: where a path leads, and whether one
// lies inside another.
#pragma once

#include <string>

#include "fs.h"
#include "status.h"

namespace orvex {

// The absolute path with every symlink resolved; fails (saying why, as
// strerror does) when the path does not exist.
Status resolvePath(io::Fs& fs, const std::string& path, std::string* resolved);

// Where a file about to be created at path will live: its resolved parent
// directory joined with its last component.
Status resolveOutputPath(io::Fs& fs, const std::string& path, std::string* resolved);

// Whether a file system can be mounted at the resolved path: a folder on
// which nothing is mounted yet. kInvalid says why not.
Status checkMountPoint(io::Fs& fs, const std::string& path);

// Whether the resolved path lies strictly below the resolved root.
bool isInside(const std::string& path, const std::string& root);

}  // namespace orvex
