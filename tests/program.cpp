#include "program.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace orvex::testing {
namespace fs = std::filesystem;

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
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
  fs::remove_all(path_, ignored);
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

std::map<std::string, std::string> snapshotTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    // Lexically: resolving every component again costs a readlink each.
    const std::string rel = e.path().lexically_relative(root).string();
    if (e.is_symlink())
      tree[rel] = "<link>";
    else if (e.is_directory())
      tree[rel] = "<dir>";
    else if (!e.is_regular_file())
      tree[rel] = "<other>";
    else
      tree[rel] = readAll(e.path().string());
  }
  return tree;
}

}  // namespace orvex::testing
