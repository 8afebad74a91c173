// Running programs with CreateProcessW, and reading folders with the wide
// calls, on Windows. Paths and arguments arrive as UTF-8.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

#include "program.h"

namespace orvex::testing {
namespace fs = std::filesystem;

namespace {

// The exit code a killed program ends with, as a POSIX shell shows SIGKILL.
constexpr UINT kKilledExitCode = 137;

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), length);
  return text;
}

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length,
                      nullptr, nullptr);
  return bytes;
}

std::string withoutCarriageReturns(const std::string& text) {
  std::string lines;
  lines.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') lines += text[i];
  return lines;
}

// One argument as the C runtime's parser reads it back: quoted when it holds
// blanks or quotes or is empty, backslashes doubled where they precede a
// quote.
void appendQuoted(const std::wstring& arg, std::wstring* line) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    *line += arg;
    return;
  }
  *line += L'"';
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') ++i, ++backslashes;
    if (i == arg.size()) {
      line->append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      line->append(backslashes * 2 + 1, L'\\');
    } else {
      line->append(backslashes, L'\\');
    }
    *line += arg[i];
  }
  *line += L'"';
}

std::wstring upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

// The test's environment with options' changes, as CreateProcessW takes it:
// NUL-ended "NAME=value" strings, then a NUL. Names are compared as
// Windows does, without case.
std::wstring childEnvironment(const ProgramOptions& options) {
  std::map<std::wstring, std::optional<std::string>> changes;
  for (const auto& [name, value] : options.environment) changes[upper(wide(name))] = value;
  std::wstring block;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* at = strings; *at; at += wcslen(at) + 1) {
    const std::wstring entry = at;
    // Entries such as "=C:=C:\\" hold the current folder of each drive.
    const size_t equals = entry.find(L'=', 1);
    if (changes.contains(upper(entry.substr(0, equals)))) continue;
    block += entry;
    block += L'\0';
  }
  FreeEnvironmentStringsW(strings);
  for (const auto& [name, value] : options.environment)
    if (value) {
      block += wide(name) + L"=" + wide(*value);
      block += L'\0';
    }
  block += L'\0';
  return block;
}

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  Handle() = default;
  explicit Handle(HANDLE handle) : h(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  void reset() {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
  bool valid() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
};

// A pipe whose end given to the child is inheritable and whose other end
// stays with the test.
void makePipe(Handle* readEnd, Handle* writeEnd, bool childReads) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  if (!CreatePipe(&readEnd->h, &writeEnd->h, &inherit, 0))
    throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(childReads ? writeEnd->h : readEnd->h, HANDLE_FLAG_INHERIT, 0);
}

HANDLE openInheritable(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Reads a pipe to its end, appending to bytes and, if set, to a file as the
// bytes arrive.
void drain(HANDLE pipe, std::string* bytes, const std::string& liveFile) {
  std::ofstream live;
  if (!liveFile.empty()) live.open(fs::path(wide(liveFile)), std::ios::binary | std::ios::app);
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    bytes->append(chunk, got);
    if (live.is_open()) live.write(chunk, got).flush();
  }
}

class WindowsProgram : public RunningProgram {
 public:
  WindowsProgram(HANDLE process, DWORD id) : process_(process), id_(id) {}
  bool hasExited() override { return WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }
  void kill() override {
    if (!hasExited() && TerminateProcess(process_, kKilledExitCode)) killSent_ = true;
  }
  bool interrupt() override {
    throw std::logic_error("runProgram: Windows programs take no signals");
  }
  int processId() const override { return static_cast<int>(id_); }
  bool killSent() const { return killSent_; }

 private:
  HANDLE process_;
  DWORD id_;
  bool killSent_ = false;
};

}  // namespace

ProgramResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                         const std::string& cwd, const ProgramOptions& options) {
  if (options.fileSizeLimit != 0 || options.asOrdinaryUser)
    throw std::logic_error("runProgram: file size limits and other users are POSIX only");
  const std::wstring program = fs::absolute(fs::path(wide(binary))).wstring();
  std::wstring line;
  appendQuoted(program, &line);
  for (const std::string& arg : args) {
    line += L' ';
    appendQuoted(wide(arg), &line);
  }
  const std::wstring folder = fs::absolute(fs::path(wide(cwd))).wstring();
  std::wstring environment = childEnvironment(options);

  Handle outRead, outWrite, errRead, errWrite, inRead, inWrite;
  if (options.outputFile.empty()) {
    makePipe(&outRead, &outWrite, false);
  } else {
    outWrite.h = openInheritable(wide(options.outputFile), GENERIC_WRITE, OPEN_EXISTING);
    if (!outWrite.valid()) throw std::runtime_error("cannot open " + options.outputFile);
  }
  if (!options.errorIntoOutput) makePipe(&errRead, &errWrite, false);
  if (options.input) {
    makePipe(&inRead, &inWrite, true);
  } else {
    inRead.h = openInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  }
  if (!options.liveOutFile.empty())
    std::ofstream(fs::path(wide(options.liveOutFile)), std::ios::trunc);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead.h;
  startup.hStdOutput = outWrite.h;
  startup.hStdError = options.errorIntoOutput ? outWrite.h : errWrite.h;
  PROCESS_INFORMATION info{};
  // Wine's process creation now and then fails with an internal error when
  // the machine is busy; the same call succeeds when made again.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt > 0) Sleep(100 * attempt);
    started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                             CREATE_UNICODE_ENVIRONMENT, environment.data(), folder.c_str(),
                             &startup, &info);
    if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  if (!started) {
    ProgramResult failed;
    failed.status = 127;
    failed.err =
        "runProgram: cannot run the program (error " + std::to_string(GetLastError()) + ")\n";
    return failed;
  }
  Handle process(info.hProcess), thread(info.hThread);
  // The child holds its own copies now: the pipes end when it ends.
  outWrite.reset();
  errWrite.reset();
  inRead.reset();

  ProgramResult result;
  std::string errBytes;
  std::thread outReader, errReader, feeder;
  if (outRead.valid())
    outReader = std::thread(drain, outRead.h, &result.outBytes, options.liveOutFile);
  if (errRead.valid()) errReader = std::thread(drain, errRead.h, &errBytes, std::string());
  if (inWrite.valid()) {
    feeder = std::thread([&] {
      const std::string& bytes = *options.input;
      for (size_t at = 0; at < bytes.size();) {
        DWORD wrote = 0;
        if (!WriteFile(inWrite.h, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &wrote,
                       nullptr))
          break;
        at += wrote;
      }
      inWrite.reset();
    });
  }
  WindowsProgram running(info.hProcess, info.dwProcessId);
  if (options.whileRunning) options.whileRunning(running);
  WaitForSingleObject(info.hProcess, INFINITE);
  if (feeder.joinable()) feeder.join();
  if (outReader.joinable()) outReader.join();
  if (errReader.joinable()) errReader.join();
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  result.status = static_cast<int>(code);
  result.killed = running.killSent() && code == kKilledExitCode;
  result.out = withoutCarriageReturns(result.outBytes);
  result.err = withoutCarriageReturns(errBytes);
  return result;
}

std::string runOnTerminal(const std::string&, const std::vector<std::string>&, const std::string&,
                          bool) {
  throw std::logic_error("runOnTerminal: Windows has no pseudo-terminals");
}

int endedProcessId() {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) throw std::runtime_error("no system folder");
  const std::wstring shell = std::wstring(system) + L"\\cmd.exe";
  std::wstring line = L"cmd.exe /c exit 0";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(shell.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &info))
    throw std::runtime_error("cannot run cmd.exe");
  WaitForSingleObject(info.hProcess, INFINITE);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return static_cast<int>(info.dwProcessId);
}

TempDir::TempDir() {
  static std::atomic<unsigned> made{0};
  std::random_device random;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned tag = random() ^ (made++ * 2654435761u);
    const fs::path dir = base / ("orvex-test-" + std::to_string(tag));
    if (fs::create_directory(dir)) {
      path_ = utf8(dir.generic_wstring());
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() { removeTree(path_); }

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(fs::path(wide(path)), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void makeFifo(const std::string&) { throw std::logic_error("makeFifo: Windows has no FIFOs"); }

namespace {

// Calls fn(name, attributes) for each entry of folder but "." and "..";
// false when the folder cannot be read.
template <typename Fn>
bool forEachEntry(const std::wstring& folder, Fn fn) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") fn(name, found.dwFileAttributes);
  } while (FindNextFileW(search, &found));
  const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(search);
  return complete;
}

std::string contentOf(const std::wstring& path) {
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  std::string bytes;
  if (!file.valid()) return bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file.h, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  return bytes;
}

void snapshotFolder(const std::wstring& folder, const std::string& prefix, std::string_view except,
                    std::map<std::string, std::string>* tree) {
  const bool read = forEachEntry(folder, [&](const std::wstring& name, DWORD attributes) {
    const std::string rel = prefix.empty() ? utf8(name) : prefix + "/" + utf8(name);
    const std::wstring path = folder + L"\\" + name;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      (*tree)[rel] = "<link>";
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      (*tree)[rel] = "<dir>";
      if (rel != except) snapshotFolder(path, rel, except, tree);
    } else if (attributes & FILE_ATTRIBUTE_DEVICE) {
      (*tree)[rel] = "<other>";
    } else {
      (*tree)[rel] = contentOf(path);
    }
  });
  if (!read) throw std::runtime_error("cannot read folder " + (prefix.empty() ? "." : prefix));
}

// Removes everything inside folder, never entering a reparse point; false
// when something stayed.
bool removeInside(const std::wstring& folder) {
  bool removed = true;
  const bool read = forEachEntry(folder, [&](const std::wstring& name, DWORD attributes) {
    const std::wstring path = folder + L"\\" + name;
    if (attributes & FILE_ATTRIBUTE_READONLY)
      SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) removed = removeInside(path) && removed;
      removed = RemoveDirectoryW(path.c_str()) && removed;
    } else {
      removed = DeleteFileW(path.c_str()) && removed;
    }
  });
  return read && removed;
}

}  // namespace

std::map<std::string, std::string> snapshotTree(const std::string& root, std::string_view except) {
  const std::wstring folder = wide(root);
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    throw std::runtime_error("cannot open folder " + root);
  std::map<std::string, std::string> tree;
  snapshotFolder(folder, "", except, &tree);
  return tree;
}

size_t entryCount(const std::string& folder) {
  size_t count = 0;
  if (!forEachEntry(wide(folder), [&](const std::wstring&, DWORD) { ++count; }))
    throw std::runtime_error("cannot read folder " + folder);
  return count;
}

void removeTree(const std::string& path) {
  const std::wstring target = wide(path);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(target.c_str());
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) removeInside(target);
  RemoveDirectoryW(target.c_str());
}

}  // namespace orvex::testing
