// A sandbox for harnesses that let the extractor write files: a working
// directory at <sandbox>/run/work, and checks that the run left everything
// else in the sandbox as it was.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "program.h"

namespace orvex::fuzz {

using Tree = std::map<std::string, std::string>;

// Aborts with a message when a harness property does not hold.
#define FUZZ_CHECK(condition)                                           \
  do {                                                                  \
    if (!(condition)) ::orvex::fuzz::checkFailed(#condition, __LINE__); \
  } while (0)
[[noreturn]] void checkFailed(const char* condition, int line);

class Sandbox {
 public:
  Sandbox();

  const std::string& root() const { return dir_.path(); }
  const std::string& work() const { return work_; }

  // Removes what the last run left and makes an empty working directory.
  void resetWork();
  // Everything in the sandbox except what lies below the working directory.
  Tree outside() const;
  // Everything below the working directory, by path relative to it.
  Tree workTree() const;

  // Runs fn with the working directory as the current directory.
  template <typename F>
  void inWork(F fn) {
    enterWork();
    fn();
    leaveWork();
  }

 private:
  void enterWork();
  void leaveWork();

  testing::TempDir dir_;
  std::string work_;
  std::string home_;  // the current directory to return to
};

// The number of open file descriptors of this process.
int openFileCount();

// True when some path in tree has a component that the extractor's temporary
// files use, unless the input itself could have named one.
bool hasTemporaryFile(const Tree& tree, std::string_view input);

}  // namespace orvex::fuzz
