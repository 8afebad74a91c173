// The README's examples, run. Every fenced block that follows a line
// "<!-- example: FOLDER -->" holds "$ COMMAND" lines, each followed by what
// the command prints (standard error joined to standard output). The
// commands run with sh, in order, with both programs on the PATH, in a
// folder prepared as the README's text says; blocks that name one folder
// share it. README.md is read from the source tree when the test runs, so an
// edited example is checked without a rebuild. Nothing is normalised: the
// examples print no temporary paths, dates or sizes of binaries.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>

#include "program.h"
#include "store.h"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using testing::runProgram;

struct Example {
  std::string folder;
  bool needsFuse = false;  // skipped where FUSE cannot be used
  int line = 0;            // of the command in README.md
  std::string command;
  std::string expected;
};

std::vector<Example> readExamples(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const std::string marker = "<!-- example: ";
  std::vector<Example> examples;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].starts_with(marker)) continue;
    std::string folder = lines[i].substr(marker.size(), lines[i].find(" -->") - marker.size());
    const bool needsFuse = folder.ends_with(" needs-fuse");
    if (needsFuse) folder.resize(folder.size() - std::strlen(" needs-fuse"));
    size_t at = i + 1;
    while (at < lines.size() && lines[at].empty()) ++at;
    if (at >= lines.size() || lines[at] != "```") {
      ADD_FAILURE() << "README.md:" << i + 1 << ": an example marker without a block";
      continue;
    }
    for (++at; at < lines.size() && lines[at] != "```"; ++at) {
      if (lines[at].starts_with("$ ")) {
        examples.push_back({folder, needsFuse, static_cast<int>(at + 1), lines[at].substr(2), ""});
      } else if (examples.empty() || examples.back().folder != folder) {
        ADD_FAILURE() << "README.md:" << at + 1 << ": output before any command";
      } else {
        examples.back().expected += lines[at] + "\n";
      }
    }
    i = at;
  }
  return examples;
}

// The sample disc packed from the source tree.
void packSample(const std::string& image, const std::string& index) {
  const testing::ProgramResult r = runProgram(
      ORVEX_TOOL_BINARY, {"pack", std::string(ORVEX_SOURCE_DIR) + "/sample/disc", image, index},
      fs::path(image).parent_path().string());
  ASSERT_EQ(r.status, 0) << r.err;
}

void copySampleTable(const std::string& to) {
  fs::copy_file(std::string(ORVEX_SOURCE_DIR) + "/sample/eventsTable", to);
}

// Each folder the README's examples run in, as its text describes it; the
// result is the folder the commands run in.
const std::map<std::string, std::function<std::string(const std::string&)>> kFolders = {
    // A folder holding copies of the sample image, index and event table.
    {"sample-copies",
     [](const std::string& dir) {
       packSample(dir + "/sample.img", dir + "/sample.idx");
       copySampleTable(dir + "/eventsTable");
       return dir;
     }},
    // The sample disc with three index records added by hand, and an empty
    // folder beside it holding the sample's event table.
    {"sample-with-records",
     [](const std::string& dir) {
       packSample(dir + "/sample.img", dir + "/sample.idx");
       std::vector<uint8_t> index = testing::readBytes(dir + "/sample.idx");
       const std::vector<uint8_t> added =
           encodeIndex({{0x0BADF00D, 0, 1, 91}, {0x092240E7, 0, 4, 135}, {0x00C0FFEE, 0, 0, 512}});
       index.insert(index.end(), added.begin(), added.end());
       testing::writeBytes(dir + "/sample.idx", index);
       fs::create_directory(dir + "/work");
       copySampleTable(dir + "/work/eventsTable");
       return dir + "/work";
     }},
    // A checkout's sample folder and an empty build folder.
    {"repository",
     [](const std::string& dir) {
       fs::copy(std::string(ORVEX_SOURCE_DIR) + "/sample", dir + "/sample",
                fs::copy_options::recursive);
       fs::create_directory(dir + "/build");
       return dir;
     }},
};

bool fuseUsable() {
#ifdef _WIN32
  return false;
#else
  const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) return false;
  close(fuse);
  return access("/usr/bin/fusermount3", X_OK) == 0 || access("/bin/fusermount3", X_OK) == 0;
#endif
}

// The marker printed after each command of a block, which runs as one
// script so that a command can look at the one before ($?).
constexpr char kStep[] = "\x01step\x01\n";

TEST(ReadmeExamples, EveryCommandPrintsWhatTheReadmeShows) {
  ORVEX_SKIP_WITHOUT_POSIX("a POSIX shell for the README's examples");
  const std::vector<Example> examples = readExamples(std::string(ORVEX_SOURCE_DIR) + "/README.md");
  ASSERT_GE(examples.size(), 10u) << "the README's examples were not found";
  testing::TempDir root;
  std::map<std::string, std::string> ready;  // folder name -> where its commands run
  const std::string path = fs::path(ORVEX_BINARY).parent_path().string() + ":" +
                           fs::path(ORVEX_TOOL_BINARY).parent_path().string() + ":" +
                           std::getenv("PATH");
  for (size_t first = 0; first < examples.size();) {
    // One block: the commands that follow one another in one folder.
    size_t end = first + 1;
    while (end < examples.size() && examples[end].folder == examples[first].folder &&
           examples[end].line ==
               examples[end - 1].line + 1 +
                   static_cast<int>(std::count(examples[end - 1].expected.begin(),
                                               examples[end - 1].expected.end(), '\n')))
      ++end;
    const std::string& folder = examples[first].folder;
    if (examples[first].needsFuse && !fuseUsable()) {
      std::cout << "README.md:" << examples[first].line << ": skipped: FUSE cannot be used here\n";
      first = end;
      continue;
    }
    if (!ready.contains(folder)) {
      const auto setUp = kFolders.find(folder);
      ASSERT_NE(setUp, kFolders.end()) << "no folder called " << folder;
      fs::create_directory(root / folder);
      ready[folder] = setUp->second(root / folder);
    }
    std::string script;
    for (size_t i = first; i < end; ++i)
      script +=
          "{ " + examples[i].command + "\n} 2>&1; s=$?; printf '\\001step\\001\\n'; (exit $s)\n";
    testing::ProgramOptions options;
    options.environment = {{"PATH", path}, {"LC_ALL", "C"}, {"ORVEX_JOBS", std::nullopt}};
    // Whatever a block mounted is unmounted, also when it fails.
    if (examples[first].needsFuse)
      script += "for d in */; do fusermount3 -u \"$d\" 2>/dev/null; done; true\n";
    const testing::ProgramResult r = runProgram("/bin/sh", {"-c", script}, ready[folder], options);
    size_t at = 0;
    for (size_t i = first; i < end; ++i) {
      SCOPED_TRACE("README.md:" + std::to_string(examples[i].line) + ": $ " + examples[i].command);
      const size_t step = r.out.find(kStep, at);
      ASSERT_NE(step, std::string::npos) << r.out;
      EXPECT_EQ(r.out.substr(at, step - at), examples[i].expected);
      at = step + std::strlen(kStep);
    }
    first = end;
  }
}

}  // namespace
}  // namespace orvex
