// How disc names become file names in a folder, and back. Disc names are
// bytes; where the folder's file system takes them as they are (NameRules
// without windows), a file name is its disc name. Where it cannot hold some
// names (windows), each '/'-separated part that it cannot hold is written
// escaped: the bytes it cannot take become %XX, and '%' itself always does,
// so that every file name written gives back exactly one disc name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fs.h"

namespace orvex {

// The file name discName is written as under rules. Empty, "." and ".."
// parts are left as they are: they are the path's own syntax, refused or
// dropped where the name is resolved.
std::string fileNameFor(std::string_view discName, const io::NameRules& rules);

// The disc name that fileNameFor writes as fileName; nothing when no disc
// name is written so (a '%' that starts no escape, or an escape of a byte
// that needs none, such as %41 for 'A').
std::optional<std::string> discNameFor(std::string_view fileName, const io::NameRules& rules);
// Why such a file name is refused.
constexpr char NO_DISC_NAME[] =
    "no disc name is written as this file name ('%' starts the escape of a byte the file "
    "system cannot hold, as %3A for ':')";

// Names that the folder's file system would fold into one file: a name is a
// twin of an earlier one when its file name, or the name of any folder on
// its way, folds as an earlier name's does but is spelled differently. The
// first spelling is the one written; twins are never recorded, so each is
// checked against the names written.
class CaseTwins {
 public:
  explicit CaseTwins(const io::NameRules& rules) : rules_(rules) {}

  // Records discName, and returns the earlier disc name it is a twin of, if
  // any. Nothing is ever a twin where the file system keeps case.
  std::optional<std::string> record(std::string_view discName);

 private:
  struct Spelling {
    std::string fileName;  // the path as first written, up to this folder or file
    std::string discName;  // the whole name that wrote it first
  };
  io::NameRules rules_;
  std::unordered_map<std::string, Spelling> byFolded_;
};

}  // namespace orvex
