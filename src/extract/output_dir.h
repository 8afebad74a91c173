// The output folder: every existence check, directory creation, write and
// read-back of extraction goes through here. The folder is held open as a
// directory descriptor and every name is resolved beneath it by the kernel,
// so nothing is ever read or written outside it, whatever links stand in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "status.h"

namespace orvex {

class OutputDir {
 public:
  // Opens path as the output folder; with create, makes it and any missing
  // ancestors first.
  static Status open(const std::string& path, bool create, std::unique_ptr<OutputDir>* dir);
  ~OutputDir();
  OutputDir(const OutputDir&) = delete;
  OutputDir& operator=(const OutputDir&) = delete;

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

  // Writes a new file at name, creating missing parent folders. It appears
  // only when complete and never replaces anything: when something stands
  // there by then, the result is kExists and nothing is changed.
  Status writeNew(std::string_view name, const uint8_t* data, size_t length);
  // The same with length bytes of sourceFd at offset as the data, copied
  // inside the kernel where it can be.
  Status copyNew(std::string_view name, int sourceFd, uint64_t offset, uint64_t length);

  // Writes a file at name that atomically replaces what stands there: a
  // link there is replaced, never written through. For event pieces.
  Status writeReplacing(std::string_view name, const uint8_t* data, size_t length);

  // Creates the folder name and every missing folder above it.
  Status makeDirectories(std::string_view name);

  // Reads a whole regular file; kNotFound when nothing stands there,
  // kInvalid when it is not a regular file.
  Status readFile(std::string_view name, std::vector<uint8_t>* bytes);

  // The folder as given to open(), for messages.
  const std::string& path() const { return path_; }

 private:
  OutputDir(int fd, std::string path);

  int fd_ = -1;
  std::string path_;
};

}  // namespace orvex
