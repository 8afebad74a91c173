// A file written under a temporary name beside its final path and renamed
// into place only when complete, so the final path never holds a partial
// file. A file that is never committed is removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  bool create(const std::string& path, std::string* error);
  bool write(const uint8_t* data, size_t length, std::string* error);
  // Flushes the data to disk and closes the file.
  bool finish(std::string* error);
  // Renames the finished file to its final path.
  bool commit(std::string* error);

 private:
  bool fail(std::string* error, const char* what);

  std::string path_;
  std::string temp_;
  int fd_ = -1;
};

}  // namespace orvex
