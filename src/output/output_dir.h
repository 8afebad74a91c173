// The output folder: every existence check, directory creation, write and
// read-back of extraction goes through here. Names are disc names, each
// written under the file name the folder's name rules give it (see
// file_names.h). Every name is resolved beneath the folder, so nothing is
// ever read or written outside it, whatever links stand in it; files appear
// only complete (see NewFile).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "beneath.h"
#include "file_io.h"
#include "status.h"

namespace orvex {

class OutputDir {
 public:
  // Opens path as the output folder; with create, makes it and any missing
  // ancestors first. Every effect goes through fs.
  static Status open(const std::string& path, bool create, std::unique_ptr<OutputDir>* dir,
                     io::Fs& fs);
  OutputDir(const OutputDir&) = delete;
  OutputDir& operator=(const OutputDir&) = delete;

  // What names the folder's file system can hold and how it folds case.
  const io::NameRules& nameRules() const { return rules_; }

  enum class Presence {
    kAbsent,     // nothing stands there
    kPresent,    // a directory entry that is not a directory: a file, a link of any kind, a FIFO
    kDirectory,  // a directory
  };
  // What stands at name (a relative path with '/' separators). Links in its
  // parent folders are followed while they stay inside; the last component
  // is never followed, so a dangling link counts as present. A parent that
  // leads outside gives kUnsafe.
  Status probe(std::string_view name, Presence* presence);
  // Whether nothing stands at name without asking the system: it is in a
  // folder this run made (through this object or a clone), and nothing was
  // put at it by that name. A file put there by another name (through a
  // link) is not known here: the caller asks only for names it has not
  // decided on.
  bool knownAbsent(std::string_view name) const;

  enum class Kind { kAbsent, kFile, kLink, kFolder, kOther };
  // What stands at name, the last part never followed, and a regular file's
  // bytes in *bytes.
  Status inspect(std::string_view name, Kind* kind, std::vector<uint8_t>* bytes);

  // Writes a new file at name, creating missing parent folders. It appears
  // only when complete and never replaces anything: when something stands
  // there by then, the result is kExists and nothing is changed.
  Status writeNew(std::string_view name, const uint8_t* data, size_t length);
  // The same with length bytes of source at offset as the data, copied
  // inside the kernel where it can be.
  Status copyNew(std::string_view name, const io::File& source, uint64_t offset, uint64_t length);

  // Writes a file at name that atomically replaces what stands there: a
  // link there is replaced, never written through. For event pieces.
  Status writeReplacing(std::string_view name, const uint8_t* data, size_t length);

  // Creates the folder name and every missing folder above it.
  Status makeDirectories(std::string_view name);

  // Reads a whole regular file; kNotFound when nothing stands there,
  // kInvalid when it is not a regular file.
  Status readFile(std::string_view name, std::vector<uint8_t>* bytes);

  // The file name reaches, as a path from the folder with every link that
  // stands on its way resolved: names that reach one file through links get
  // one key, and folders this run creates later do not change it. Where
  // links cannot be seen through (no /proc), the name without empty and "."
  // parts.
  std::string reachKey(std::string_view name);

  // Another handle on the same folder, for another thread: one object must
  // not be used by two threads at once. nullptr when out of descriptors.
  std::unique_ptr<OutputDir> clone() const;

 private:
  // Fills a new file.
  using Filler = std::function<Status(const io::File& file)>;

  // What the run made in the folder, shared by its clones: the folders it
  // made and each name it put. Nothing stands in a folder the run made but
  // what the run put there, so there absence is known without asking the
  // system.
  class RunEntries;

  OutputDir(io::Beneath root, std::shared_ptr<RunEntries> entries);
  // The parts of the file name that name is written as.
  Status split(std::string_view name, io::PathParts* parts) const;
  // The parent folder of the last part, from the cache when it is there;
  // it stays owned by this object. On failure *failure, when given, holds
  // what the resolution gave before it was worded.
  Status parentFolder(const io::PathParts& parts, bool create, const io::Folder** folder,
                      Status* failure = nullptr);
  void forgetParent();
  // Whether a folder on the way to parts[0, count) was missing when this
  // object last looked and the run has not made it since: it is missing
  // still, unless another process made it meanwhile. *failedAt is then the
  // number of parts up to it.
  bool knownMissing(const io::PathParts& parts, size_t count, size_t* failedAt) const;
  // What stands at name, its parent resolved into *folder; no *info when
  // nothing does (or a parent is missing).
  Status look(std::string_view name, io::PathParts* parts, const io::Folder** folder,
              std::optional<io::FileInfo>* info);
  Status createFile(std::string_view name, bool replace, const Filler& fill);

  io::Beneath root_;
  std::shared_ptr<RunEntries> entries_;
  io::NameRules rules_;
  io::Copier copier_;
  // Where the open folder is, from the root, links resolved; nothing when
  // the system cannot tell.
  std::optional<std::string> whereIs(const io::Folder& folder) const;

  io::Folder parent_;  // the folder last resolved, its name and where it is
  std::string parentName_;
  std::optional<std::string> parentWhere_;
  std::string rootPath_;  // the root as the system tells it; empty when it cannot
  std::unordered_set<std::string> missing_;  // folders found missing, as their parts joined
};

}  // namespace orvex
