#include "sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace orvex::fuzz {

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
  testing::removeTree(dir_ / "run");
  FUZZ_CHECK(mkdir((dir_ / "run").c_str(), 0755) == 0);
  FUZZ_CHECK(mkdir(work_.c_str(), 0755) == 0);
}

Tree Sandbox::outside() const { return testing::snapshotTree(root(), "run/work"); }

Tree Sandbox::workTree() const { return testing::snapshotTree(work_); }

void Sandbox::enterWork() { FUZZ_CHECK(chdir(work_.c_str()) == 0); }

void Sandbox::leaveWork() { FUZZ_CHECK(chdir(home_.c_str()) == 0); }

int openFileCount() { return static_cast<int>(testing::entryCount("/proc/self/fd")); }

bool hasTemporaryFile(const Tree& tree, std::string_view input) {
  if (input.find(kTemporaryMark.substr(1)) != std::string_view::npos) return false;
  for (const auto& [path, content] : tree)
    if (("/" + path).find("/" + std::string(kTemporaryMark)) != std::string::npos) return true;
  return false;
}

}  // namespace orvex::fuzz
