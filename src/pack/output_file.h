// A file written under a temporary name beside its final path, flushed to
// disk and renamed into place only when complete, so the final path never
// holds a partial file, even after a crash. A file that is never committed
// is removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "status.h"

namespace orvex {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  Status create(const std::string& path);
  Status write(const uint8_t* data, size_t length);
  // The open temporary file, for writes at offsets; valid until finish().
  int fd() const { return fd_; }
  // Flushes the data to disk and closes the file.
  Status finish();
  // Renames the finished file to its final path and flushes the folder,
  // so that the new name survives a crash.
  Status commit();

 private:
  Status fail(const char* what) const;

  std::string path_;
  std::string temp_;
  int fd_ = -1;
};

}  // namespace orvex
