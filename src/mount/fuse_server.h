// Serving a disc read-only through the kernel's FUSE interface: the tree a
// mount shows, its stored files read from the image where they lie, its
// compressed ones decoded when first read into a cache bounded in bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs.h"
#include "mount_tree.h"
#include "store.h"

namespace orvex {

struct MountedDisc {
  Store store;
  MountTree tree;
  io::FileInfo image;       // every entry has the image file's times
  uint64_t cacheSize = 0;   // bytes of decoded files kept
  bool foreground = false;  // warnings to standard error, else to the system log
};

// Mounts disc at point (a full path) with the FUSE options given and serves
// it until it is unmounted or a signal asks to stop: 0 then, 1 when it
// cannot be mounted. Unless disc.foreground, the calling process ends once
// the mount answers, and a child of it serves.
int serveMount(MountedDisc disc, const std::string& point,
               const std::vector<std::string>& fuseOptions);

}  // namespace orvex
