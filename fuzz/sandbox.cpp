#include "sandbox.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace orvex::fuzz {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTemporaryMark = ".orvex-tmp-";

}  // namespace

void checkFailed(const char* condition, int line) {
  std::fprintf(stderr, "fuzz check failed at line %d: %s\n", line, condition);
  std::abort();
}

Sandbox::Sandbox() : work_(dir_ / "run/work") {
  char* cwd = getcwd(nullptr, 0);
  FUZZ_CHECK(cwd != nullptr);
  home_ = cwd;
  std::free(cwd);
}

void Sandbox::resetWork() {
  fs::remove_all(dir_ / "run");
  fs::create_directories(work_);
}

Tree Sandbox::outside() const {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root()); it != fs::end(it); ++it) {
    const std::string rel = fs::relative(it->path(), root()).string();
    if (it->is_symlink()) {
      tree[rel] = "<link>";
    } else if (it->is_directory()) {
      tree[rel] = "<dir>";
      if (rel == "run/work") it.disable_recursion_pending();
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      tree[rel].assign(std::istreambuf_iterator<char>(in), {});
    }
  }
  return tree;
}

Tree Sandbox::workTree() const { return testing::snapshotTree(work_); }

void Sandbox::enterWork() { FUZZ_CHECK(chdir(work_.c_str()) == 0); }

void Sandbox::leaveWork() { FUZZ_CHECK(chdir(home_.c_str()) == 0); }

int openFileCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

bool hasTemporaryFile(const Tree& tree, std::string_view input) {
  if (input.find(kTemporaryMark.substr(1)) != std::string_view::npos) return false;
  for (const auto& [path, content] : tree)
    if (("/" + path).find("/" + std::string(kTemporaryMark)) != std::string::npos) return true;
  return false;
}

}  // namespace orvex::fuzz
