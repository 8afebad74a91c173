// The output folder: every existence check, directory creation, write and
// read-back of extraction goes through here. The folder is held open as a
// directory descriptor and every name is resolved beneath it by the kernel,
// so nothing is ever read or written outside it, whatever links stand in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

  // Another handle on the same folder, for another thread: one object must
  // not be used by two threads at once. nullptr when out of descriptors.
  std::unique_ptr<OutputDir> clone() const;

  // The folder as given to open(), for messages.
  const std::string& path() const { return path_; }

 private:
  using Parts = std::vector<std::string>;
  // Fills a new file through its descriptor.
  using Filler = std::function<Status(int fd)>;

  OutputDir(int fd, std::string path, bool walk, bool procFd);
  // Opens the folder made of parts[0, count) beneath the root, creating
  // missing folders when create is set. Returns 0 or an error number.
  int openFolder(const Parts& parts, size_t count, bool create, int* folder, size_t* failedAt);
  int openStep(int base, const Parts& parts, size_t index, int* folder);
  // The parent folder of the last part, from the cache when it is there.
  // The descriptor stays owned by this object. On failure *error, when
  // given, holds the error number (or a negative code for a link met).
  Status parentFolder(const Parts& parts, bool create, int* folder, int* error = nullptr);
  void forgetParent();
  Status createFile(std::string_view name, bool replace, const Filler& fill);
  Status createNamed(int folder, const std::string& leaf, bool replace, const Filler& fill);
  std::string temporaryName();

  int fd_ = -1;
  std::string path_;
  bool walk_ = false;         // resolve one component at a time, never following links
  bool procFd_ = true;        // unnamed temporary files can be linked through /proc/self/fd
  bool copyInKernel_ = true;  // copy_file_range has not refused the image and this folder
  int parentFd_ = -1;
  std::string parentName_;
};

}  // namespace orvex
