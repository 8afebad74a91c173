// Running the real binaries in fresh temporary directories, and reading back
// the trees they leave.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace orvex::testing {

struct ProgramResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs binary with args in directory cwd; a non-empty input is fed on stdin.
ProgramResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                         const std::string& cwd);

// A fresh directory under the system's temporary folder, removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);
std::vector<uint8_t> bytesOf(const std::string& text);

// Every entry below root by relative path: file contents, or "<dir>" for a
// directory, or "<link>" for a symbolic link.
std::map<std::string, std::string> snapshotTree(const std::string& root);

}  // namespace orvex::testing
