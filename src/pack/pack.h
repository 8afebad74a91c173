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
#include "stored_form.h"

namespace orvex {

// The name list every packed disc carries, naming all its other files.
constexpr char NAME_LIST_NAME[] = "menu.ard";

// One regular file of a source tree.
struct SourceFile {
  std::string name;  // the disc name it is packed under, with '/' separators
  std::string path;  // where to read it from
  uint64_t size = 0;
};

// Lists every regular file under dir, sorted by name. A symlink counts as
// the file it resolves to, which must be a regular file inside dir. Adds one
// problem, naming the file, for each entry that cannot be packed as it is:
// broken symlinks, symlinks leading out of dir or to a directory, FIFOs,
// sockets and devices, unreadable files and directories, files of 4 GiB or
// more, names that give back no disc name under the folder's name rules.
// The walk goes on past each of them. Folders that hold nothing at
// all, which a disc of files cannot hold, go to emptyFolders, sorted.
void listSourceTree(io::Fs& fs, const std::string& dir, std::vector<SourceFile>* files,
                    Problems* problems, std::vector<std::string>* emptyFolders = nullptr);

// Adds a problem for every name that does not fit a name-list slot, is the
// packed name list's own, or shares a hash with an earlier name or with a
// name the extractor reads as a list.
void checkPackNames(const std::vector<SourceFile>& files, Problems* problems);

struct PackOptions {
  uint32_t baseSector = 16;
  StoredForm form = StoredForm::kAuto;
};

// What a pack wrote.
struct PackStats {
  uint64_t files = 0;                     // the files of the tree, the name list not counted
  uint64_t bytesIn = 0;                   // their length
  uint64_t bytesStored = 0;               // what they take in the store, before sector padding
  std::vector<std::string> emptyFolders;  // left out: a disc holds no folder without a file
};

// Packs a name list naming every file under sourceDir, then the files, into
// an image and index that appear only complete, both at once: on failure
// neither output path is touched, and an interrupting signal leaves both as
// they were. The name list comes first so that an image cut short still
// names the files it holds. Every problem in the tree is found before
// anything is written; the result is then kInvalid with each in problems.
// Every effect goes through fs.
Status packTree(io::Fs& fs, const std::string& sourceDir, const std::string& imagePath,
                const std::string& indexPath, const PackOptions& options, Problems* problems,
                PackStats* stats = nullptr);

}  // namespace orvex
