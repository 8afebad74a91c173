#include "program.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

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

}  // namespace

ProgramResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                         const std::string& cwd, const ProgramOptions& options) {
  TempDir capture;
  const bool live = !options.liveOutFile.empty();
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
  std::vector<std::string> command;
  if (options.asOrdinaryUser && geteuid() == 0)
    command = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  command.push_back(binary);
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = live ? terminal : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (options.inChild) options.inChild();
    execv(argv[0], argv.data());
    const char failed[] = "runProgram: cannot run the program\n";
    (void)!write(2, failed, sizeof failed - 1);
    _exit(127);
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
  if (options.whileRunning) options.whileRunning(pid);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (live) {
    copier.join();
    close(master);
  }
  ProgramResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.out = readAll(outPath);
  result.err = readAll(errPath);
  return result;
}

bool childHasExited(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
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

void shareWithEveryone(const std::string& root) {
  using fs::perms;
  const auto share = [](const fs::path& p) {
    if (fs::is_symlink(p)) return;
    if (fs::is_directory(p))
      fs::permissions(p, perms::all, fs::perm_options::add);
    else if ((fs::status(p).permissions() & perms::owner_exec) != perms::none)
      fs::permissions(p,
                      perms::owner_read | perms::group_read | perms::others_read |
                          perms::group_exec | perms::others_exec,
                      fs::perm_options::add);
    else
      fs::permissions(p, perms::owner_read | perms::group_read | perms::others_read,
                      fs::perm_options::add);
  };
  share(root);
  for (const auto& e : fs::recursive_directory_iterator(root)) share(e.path());
}

std::string copyProgram(const std::string& binary, const std::string& dir) {
  const fs::path copy = fs::path(dir) / fs::path(binary).filename();
  fs::copy_file(binary, copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  return copy.string();
}

std::string textOf(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

std::vector<uint8_t> readBytes(const std::string& path) { return bytesOf(readAll(path)); }

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text) {
  writeBytes(path, bytesOf(text));
}

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

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

std::vector<std::string> strayEntries(const std::map<std::string, std::string>& tree,
                                      const std::map<std::string, std::string>& reference) {
  std::vector<std::string> stray;
  for (const auto& [path, content] : tree) {
    const auto it = reference.find(path);
    if (it == reference.end() || it->second != content) stray.push_back(path);
  }
  return stray;
}

std::vector<std::string> missingEntries(const std::map<std::string, std::string>& tree,
                                        const std::map<std::string, std::string>& reference) {
  std::vector<std::string> missing;
  for (const auto& [path, content] : reference)
    if (tree.count(path) == 0) missing.push_back(path);
  return missing;
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
