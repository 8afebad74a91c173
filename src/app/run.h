// The extractor's run sequence, from the command line to the last pass.
#pragma once

namespace orvex {

constexpr const char* VERSION_TEXT = "v0.2 alpha 1";

// Runs the whole program; returns the exit status.
int runExtractor(int argc, char** argv);

}  // namespace orvex
