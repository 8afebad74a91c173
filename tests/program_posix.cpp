// Running programs with fork and exec, and reading folders with the
// descriptor calls, on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "program.h"

extern char** environ;

namespace orvex::testing {
namespace fs = std::filesystem;

namespace {

std::string readDescriptor(int fd) {
  std::string bytes;
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

// A whole file's bytes; empty when it cannot be opened.
std::string readAll(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string bytes = readDescriptor(fd);
  close(fd);
  return bytes;
}

// The test's environment with options' changes: "NAME=value" strings.
std::vector<std::string> childEnvironment(const ProgramOptions& options) {
  std::vector<std::string> entries;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry = *e;
    const std::string name(entry.substr(0, entry.find('=')));
    if (!options.environment.contains(name)) entries.emplace_back(entry);
  }
  for (const auto& [name, value] : options.environment)
    if (value) entries.push_back(name + "=" + *value);
  return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

class PosixProgram : public RunningProgram {
 public:
  explicit PosixProgram(pid_t pid) : pid_(pid) {}
  bool hasExited() override {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_;
  }
  // The child is not reaped before runProgram returns, so its pid cannot
  // have been reused; if it has just exited, the signal changes nothing.
  void kill() override {
    if (::kill(pid_, SIGKILL) == 0) killSent_ = true;
  }
  bool interrupt() override { return ::kill(pid_, SIGINT) == 0; }
  int processId() const override { return static_cast<int>(pid_); }
  bool killSent() const { return killSent_; }

 private:
  pid_t pid_;
  bool killSent_ = false;
};

}  // namespace

ProgramResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                         const std::string& cwd, const ProgramOptions& options) {
  TempDir capture;
  const bool live = !options.liveOutFile.empty();
  const bool toFile = !options.outputFile.empty();
  const std::string outPath = live ? options.liveOutFile : capture / "out";
  const std::string errPath = capture / "err";
  int master = -1, terminal = -1;
  if (live) {
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &terminal, nullptr, &raw, nullptr) != 0)
      throw std::runtime_error("openpty failed");
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    std::ofstream(outPath, std::ios::trunc);  // empty before the program starts
  }
  int input[2] = {-1, -1};
  if (options.input && pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> command;
  if (options.asOrdinaryUser && geteuid() == 0)
    command = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  command.push_back(binary);
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv = pointersTo(command);
  std::vector<std::string> environment = childEnvironment(options);
  std::vector<char*> envp = pointersTo(environment);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = live     ? terminal
                    : toFile ? open(options.outputFile.c_str(), O_WRONLY)
                             : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = options.input ? input[0] : open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(options.errorIntoOutput ? out : err, 2);
    if (options.fileSizeLimit != 0) {
      signal(SIGXFSZ, SIG_DFL);
      const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execve(argv[0], argv.data(), envp.data());
    const char failed[] = "runProgram: cannot run the program\n";
    (void)!write(2, failed, sizeof failed - 1);
    _exit(127);
  }
  std::thread feeder;
  if (options.input) {
    close(input[0]);
    feeder = std::thread([fd = input[1], bytes = *options.input] {
      for (size_t at = 0; at < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
      close(fd);
    });
  }
  std::thread copier;
  if (live) {
    close(terminal);
    // Reading stops with EIO once the program has closed the terminal.
    copier = std::thread([master, outPath] {
      const int to = open(outPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
      char chunk[4096];
      for (;;) {
        const ssize_t got = read(master, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (to >= 0 && write(to, chunk, static_cast<size_t>(got)) != got) break;
      }
      if (to >= 0) close(to);
    });
  }
  PosixProgram running(pid);
  if (options.whileRunning) options.whileRunning(running);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (feeder.joinable()) feeder.join();
  if (live) {
    copier.join();
    close(master);
  }
  ProgramResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.killed = running.killSent() && result.signal == SIGKILL;
  if (!toFile) result.outBytes = readAll(outPath);
  result.out = result.outBytes;
  result.err = readAll(errPath);
  return result;
}

std::string runOnTerminal(const std::string& binary, const std::vector<std::string>& args,
                          const std::string& cwd, bool stdoutOnTerminal) {
  std::vector<std::string> command = {binary};
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv = pointersTo(command);
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (!stdoutOnTerminal && !freopen("/dev/null", "w", stdout)) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string seen;
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(master, chunk, sizeof chunk);
    if (got <= 0) break;  // EIO once the child has closed the terminal
    seen.append(chunk, static_cast<size_t>(got));
  }
  close(master);
  waitpid(pid, nullptr, 0);
  return seen;
}

int endedProcessId() {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return static_cast<int>(pid);
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "orvex-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave directories without write permission behind.
  for (const auto& e : fs::recursive_directory_iterator(path_, ignored))
    if (e.is_directory(ignored) && !e.is_symlink(ignored))
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  removeTree(path_);
}

std::vector<uint8_t> readBytes(const std::string& path) { return bytesOf(readAll(path)); }

void makeFifo(const std::string& path) {
  if (mkfifo(path.c_str(), 0644) != 0)
    throw std::runtime_error("cannot make a FIFO at " + path + ": " + std::strerror(errno));
}

namespace {

// Calls fn(name, type) for each entry of the folder open at fd but "." and
// "..", type as in d_type. Reads the entries straight into a buffer on the
// stack: a directory stream's buffer per folder is what cost most when a
// fuzzing harness takes several snapshots per input. False on a read error.
template <typename Fn>
bool forEachEntry(int fd, Fn fn) {
  alignas(dirent64) char buffer[8192];
  for (;;) {
    const ssize_t n = getdents64(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const dirent64*>(buffer + at);
      at += e->d_reclen;
      const std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      unsigned char type = e->d_type;
      struct stat st;
      if (type == DT_UNKNOWN && fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        type = S_ISLNK(st.st_mode)   ? DT_LNK
               : S_ISDIR(st.st_mode) ? DT_DIR
               : S_ISREG(st.st_mode) ? DT_REG
                                     : DT_UNKNOWN;
      fn(e->d_name, type);
    }
  }
}

int openFolder(int folder, const char* name) {
  return openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Throws when a folder cannot be read: a snapshot that silently missed one
// would prove nothing.
void snapshotFolder(int fd, const std::string& prefix, std::string_view except,
                    std::map<std::string, std::string>* tree) {
  const bool read = forEachEntry(fd, [&](const char* name, unsigned char type) {
    std::string rel = prefix.empty() ? std::string(name) : prefix + "/" + name;
    switch (type) {
      case DT_LNK:
        (*tree)[rel] = "<link>";
        break;
      case DT_DIR: {
        (*tree)[rel] = "<dir>";
        if (rel == except) break;
        const int sub = openFolder(fd, name);
        if (sub < 0) throw std::runtime_error("cannot open folder " + rel);
        snapshotFolder(sub, rel, except, tree);
        close(sub);
        break;
      }
      case DT_REG: {
        const int file = openat(fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        (*tree)[rel] = file < 0 ? std::string() : readDescriptor(file);
        if (file >= 0) close(file);
        break;
      }
      default:
        (*tree)[rel] = "<other>";
    }
  });
  if (!read) throw std::runtime_error("cannot read folder " + (prefix.empty() ? "." : prefix));
}

// Removes everything inside the folder open at fd; false when something
// stayed.
bool removeInside(int fd) {
  bool removed = true;
  const bool read = forEachEntry(fd, [&](const char* name, unsigned char type) {
    if (type == DT_DIR) {
      const int sub = openFolder(fd, name);
      removed = sub >= 0 && removeInside(sub) && removed;
      if (sub >= 0) close(sub);
      removed = unlinkat(fd, name, AT_REMOVEDIR) == 0 && removed;
    } else {
      removed = unlinkat(fd, name, 0) == 0 && removed;
    }
  });
  return read && removed;
}

}  // namespace

std::map<std::string, std::string> snapshotTree(const std::string& root, std::string_view except) {
  std::map<std::string, std::string> tree;
  const int fd = openFolder(AT_FDCWD, root.c_str());
  if (fd < 0) throw std::runtime_error("cannot open folder " + root);
  snapshotFolder(fd, "", except, &tree);
  close(fd);
  return tree;
}

size_t entryCount(const std::string& folder) {
  const int fd = openFolder(AT_FDCWD, folder.c_str());
  if (fd < 0) throw std::runtime_error("cannot open folder " + folder);
  size_t count = 0;
  const bool read = forEachEntry(fd, [&](const char*, unsigned char) { ++count; });
  close(fd);
  if (!read) throw std::runtime_error("cannot read folder " + folder);
  return count;
}

void removeTree(const std::string& path) {
  const int fd = openFolder(AT_FDCWD, path.c_str());
  if (fd >= 0) {
    const bool removed = removeInside(fd);
    close(fd);
    if (removed && rmdir(path.c_str()) == 0) return;
  }
  // A file, a link, or something the quick way could not remove.
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

}  // namespace orvex::testing
