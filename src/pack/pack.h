// Building disc images: laying stored files out behind a "BOOT2" sector and
// writing the index and name lists that the extractor reads. packTree
// streams a source tree of any size to an image file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store.h"

namespace orvex {

// The name list every packed disc carries, naming all its other files.
constexpr char NAME_LIST_NAME[] = "menu.ard";

enum class StoreMode {
  kAuto,      // compress when the stream is shorter than the file
  kCompress,  // compress whenever compress() accepts the file
  kStore,     // never compress
};

// Encodes a file's contents as they go into the image. Returns true with
// *stream set when the file is to be stored compressed, false when it is to
// be stored as is.
bool encodeForStore(const uint8_t* data, size_t length, StoreMode mode,
                    std::vector<uint8_t>* stream);

// One regular file of a source tree.
struct SourceFile {
  std::string name;  // relative path with '/' separators
  std::string path;  // where to read it from
  uint64_t size = 0;
};

// Lists every regular file under dir, sorted by name. A symlink counts as
// the file it resolves to, which must be a regular file inside dir. Returns
// false after appending one line to *problems, naming the file, for each
// entry that cannot be packed as it is: broken symlinks, symlinks leading out
// of dir or to a directory, FIFOs, sockets and devices, unreadable files and
// directories, files of 4 GiB or more. The walk goes on past each of them.
bool listSourceTree(const std::string& dir, std::vector<SourceFile>* files,
                    std::vector<std::string>* problems);

// Returns false after appending one line to *problems for every name that
// does not fit a name-list slot, is the packed name list's own, or shares a
// hash with an earlier name or with a name the extractor reads as a list.
bool checkPackNames(const std::vector<SourceFile>& files, std::vector<std::string>* problems);

struct PackOptions {
  uint32_t baseSector = 16;
  StoreMode mode = StoreMode::kAuto;
};

// Packs a name list naming every file under sourceDir, then the files, into
// an image and index written through temporary files, so that on failure
// neither output path is touched. The name list comes first so that an
// image cut short still names the files it holds. Every problem in the tree
// is found before anything is written; *error then holds one line for each.
// Every problem found in the tree is in one kInvalid status, a line each.
Status packTree(const std::string& sourceDir, const std::string& imagePath,
                const std::string& indexPath, const PackOptions& options);

}  // namespace orvex
