// The files of a changes folder, found without following any link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs.h"
#include "status.h"

namespace orvex {

struct ChangedFile {
  std::string name;  // the disc name it is written for, with '/' separators
  std::string path;  // where to read it
  uint64_t size = 0;
};

// Lists every regular file under dir, sorted by name. A link or a special
// file under it is a problem, named in problems; so is a file too large for
// any stored entry, and one whose name gives back no disc name under the
// folder's name rules (those go to *rules, when given).
Status listChangedFiles(io::Fs& fs, const std::string& dir, std::vector<ChangedFile>* files,
                        Problems* problems, io::NameRules* rules = nullptr);

}  // namespace orvex
