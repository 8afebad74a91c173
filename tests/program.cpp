// The parts of the program support that are the same on every system; the
// running of programs and the walks of folders are in program_posix.cpp and
// program_windows.cpp.
#include "program.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace orvex::testing {
namespace fs = std::filesystem;

namespace {

// A path from UTF-8 bytes: Windows takes them as UTF-16, POSIX systems as
// they are.
fs::path pathOf(const std::string& utf8) {
#ifdef _WIN32
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
#else
  return utf8;
#endif
}

}  // namespace

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

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(pathOf(path).parent_path());
  std::ofstream out(pathOf(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text) {
  writeBytes(path, bytesOf(text));
}

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

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

}  // namespace orvex::testing
