// Running the real binaries in fresh temporary directories, and reading back
// the trees they leave.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::testing {

struct ProgramResult {
  int status = -1;  // exit status, or 128 + signal
  int signal = 0;   // the signal that ended it; 0 when it exited
  std::string out;
  std::string err;
};

struct ProgramOptions {
  // Runs in the child between fork and exec: to set limits or signal
  // dispositions that the program inherits.
  std::function<void()> inChild;
  // Runs in the parent while the child runs, before it is waited for: to
  // watch it or to signal it.
  std::function<void(pid_t)> whileRunning;
  // If set, the program's stdout is a pseudo-terminal, so its stdio writes
  // out each line as it is printed, and what it prints is appended to this
  // file as it arrives (untranslated), for whileRunning to watch. It is also
  // the result's out.
  std::string liveOutFile;
  // Run as an ordinary user: when the test runs as root, the program runs as
  // nobody (uid and gid 65534, no supplementary groups) through setpriv, and
  // so needs a binary, inputs and a directory that nobody can reach (see
  // shareWithEveryone). As any other user this changes nothing.
  bool asOrdinaryUser = false;
};

// Runs binary with args in directory cwd, with stdin from /dev/null.
ProgramResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                         const std::string& cwd, const ProgramOptions& options = {});

// True once the child has exited (it is not reaped, so it can still be
// waited for).
bool childHasExited(pid_t pid);

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

// Opens root and everything below it to every user: directories readable,
// traversable and writable, files readable (executables also runnable). A
// TempDir is private to the test's user until then.
void shareWithEveryone(const std::string& root);

// Copies the program at binary into dir, runnable by every user, and returns
// the copy's path: the build directory may be out of an ordinary user's reach.
std::string copyProgram(const std::string& binary, const std::string& dir);

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);
std::vector<uint8_t> bytesOf(const std::string& text);
std::string textOf(const std::vector<uint8_t>& bytes);
// A whole file's bytes; empty when it cannot be read.
std::vector<uint8_t> readBytes(const std::string& path);

// Every entry below root by relative path: file contents, or "<dir>" for a
// directory, "<link>" for a symbolic link, "<other>" for a FIFO or the like.
// The folder at the relative path except is listed but not entered.
std::map<std::string, std::string> snapshotTree(const std::string& root,
                                                std::string_view except = {});

// Entries of tree that reference lacks or holds otherwise, by path (trees
// may hold megabytes: a mismatch is best shown by its paths).
std::vector<std::string> strayEntries(const std::map<std::string, std::string>& tree,
                                      const std::map<std::string, std::string>& reference);
// Entries of reference that tree lacks, by path.
std::vector<std::string> missingEntries(const std::map<std::string, std::string>& tree,
                                        const std::map<std::string, std::string>& reference);

// The number of entries in a folder, "." and ".." not counted.
size_t entryCount(const std::string& folder);

// Removes path and everything below it, never following a link; quietly
// leaves what cannot be removed.
void removeTree(const std::string& path);

}  // namespace orvex::testing
