// Test support: a 25 MiB disc of large stored and compressed files, many
// small ones and event files cut into large pieces, and the tree an
// uninterrupted run of the extractor makes of it. Built once per ctest run
// by the BigDiscSetup test into the folder ORVEX_BIG_DISC names, and read
// from there by the tests that need it; without that folder (a test binary
// run by hand) it is built in a temporary one.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "program.h"

namespace orvex::testing {

struct BigDisc {
  // Builds the disc and its reference tree in dir unless they are complete
  // there already; with rebuild, builds them anew.
  BigDisc(const std::string& dir, bool rebuild);

  // Runs the extractor on the disc in work, created if missing.
  ProgramResult extract(const std::string& work, const ProgramOptions& options = {}) const;

  std::string dir;
  std::map<std::string, std::vector<uint8_t>> files;  // what the lists name, by name
  std::vector<std::string> large;                     // the names of files over 1 MiB
  std::map<std::string, std::string> reference;       // the uninterrupted run's tree
};

// The disc of ORVEX_BIG_DISC, or one built for this process.
const BigDisc& bigDisc();

}  // namespace orvex::testing
