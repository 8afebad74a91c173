// Running the real binaries in fresh temporary directories, and reading back
// the trees they leave. The programs run the same way on POSIX systems and on
// Windows; what only POSIX offers (signals, limits, other users, terminals)
// is marked so below, and the tests that need it skip on Windows.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::testing {

#ifdef _WIN32
inline constexpr bool kPosix = false;
#else
inline constexpr bool kPosix = true;
#endif

// Ends the running test as skipped where the system is not POSIX, naming
// what the test needs that such a system lacks ("FIFOs", "signals").
#define ORVEX_SKIP_WITHOUT_POSIX(needs)                                     \
  do {                                                                      \
    if (!::orvex::testing::kPosix)                                          \
      GTEST_SKIP() << "needs " << needs << ", which Windows does not have"; \
  } while (0)

struct ProgramResult {
  int status = -1;      // exit status, or 128 + signal
  int signal = 0;       // the POSIX signal that ended it; 0 when it exited
  bool killed = false;  // ended by RunningProgram::kill
  // Standard output and error as text: a CRLF line end reads as LF on
  // Windows, where console programs end their lines so; on POSIX systems
  // they are the bytes as written.
  std::string out;
  std::string err;
  // Standard output's bytes as written, for binary output.
  std::string outBytes;
};

// A program started by runProgram, while it runs.
class RunningProgram {
 public:
  virtual ~RunningProgram() = default;
  // True once the program has ended (on POSIX it is not reaped yet, so its
  // process id is not reused before runProgram returns).
  virtual bool hasExited() = 0;
  // Ends the program at once, as SIGKILL does; changes nothing once it has
  // ended.
  virtual void kill() = 0;
  // Sends SIGINT. POSIX only.
  virtual bool interrupt() = 0;
  virtual int processId() const = 0;
};

struct ProgramOptions {
  // Variables set (or, when nullopt, removed) in the program's environment,
  // which is otherwise the test's.
  std::map<std::string, std::optional<std::string>> environment;
  // Standard input: these bytes through a pipe, closed after them; without
  // them, the null device.
  std::optional<std::string> input;
  // Standard error joins standard output, as with ">log 2>&1": out holds
  // both, in the order written, and err is empty.
  bool errorIntoOutput = false;
  // Standard output goes to this file (opened for writing, not truncated)
  // instead of being captured; out is then empty.
  std::string outputFile;
  // Runs while the program runs, before it is waited for: to watch it or
  // to stop it.
  std::function<void(RunningProgram&)> whileRunning;
  // If set, what the program prints on standard output is appended to this
  // file as it arrives (untranslated), for whileRunning to watch; on POSIX
  // standard output is a pseudo-terminal, so that its stdio writes out each
  // line as it is printed. It is also the result's out.
  std::string liveOutFile;
  // A limit on the size of the files the program writes, with SIGXFSZ as a
  // shell leaves it (ending the program unless it ignores the signal); 0 for
  // none. POSIX only.
  uint64_t fileSizeLimit = 0;
  // Run as an ordinary user: when the test runs as root, the program runs as
  // nobody (uid and gid 65534, no supplementary groups) through setpriv, and
  // so needs a binary, inputs and a directory that nobody can reach (see
  // shareWithEveryone). As any other user this changes nothing. POSIX only.
  bool asOrdinaryUser = false;
};

// Runs binary with args in directory cwd.
ProgramResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                         const std::string& cwd, const ProgramOptions& options = {});

// Runs binary with args in cwd with standard error on a fresh
// pseudo-terminal, and standard output too or else on the null device;
// returns what the terminal received. POSIX only.
std::string runOnTerminal(const std::string& binary, const std::vector<std::string>& args,
                          const std::string& cwd, bool stdoutOnTerminal);

// The process id of a process that has ended.
int endedProcessId();

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

// Makes a FIFO at path. POSIX only.
void makeFifo(const std::string& path);

// The number of entries in a folder, "." and ".." not counted.
size_t entryCount(const std::string& folder);

// Removes path and everything below it, never following a link; quietly
// leaves what cannot be removed.
void removeTree(const std::string& path);

}  // namespace orvex::testing
