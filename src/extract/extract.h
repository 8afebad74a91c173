// The extractor: every name the walk learns is written into the output
// folder unless something already stands there, and every event file is cut
// into its pieces.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "console.h"
#include "output_dir.h"
#include "run_tally.h"
#include "store.h"
#include "walk.h"

namespace orvex {

struct ExtractOptions {
  WalkOptions walk;
  // Which names are written (and which event files are cut, and which of
  // their pieces written); every name when empty. Names are learned from
  // every list either way.
  std::function<bool(std::string_view)> selected;
  // Whether the selection reaches into a folder (a piece folder: its event
  // file is then written and cut, and the selected pieces written).
  std::function<bool(std::string_view)> selectsUnder;
  // Write nothing: show each file and piece a run would write, and count
  // them as written.
  bool dryRun = false;
  // Print "Dumping NAME" for each file taken from the image.
  bool dumpingLines = true;
  // Print each name written (plain, without "Dumping ").
  bool listWritten = false;
  // Event pieces are rewritten on every run, an edited piece (or a link or
  // anything else that stands at a piece path) replaced with a warning;
  // without it, an edited piece is kept with a warning. A folder there is
  // always kept. Pieces whose bytes are there already are left alone.
  bool refreshPieces = true;
  // Said in parentheses after the warning of a differing piece kept: how
  // to have it replaced. Nothing when empty.
  std::string keptPieceHint;
  // Threads that read, decode and write files while the walk decides; 1 is
  // the one-thread run. What is shown and written is the same either way.
  unsigned jobs = 1;
};

// The number of jobs ORVEX_JOBS's value asks for (null when it is unset):
// a number from 1 to 256, else every core; a value that is not such a
// number gets a warning in *warning naming it and the number used.
unsigned jobsFromSetting(const char* setting, std::string* warning);

// Runs the whole walk, writing into out. Warnings go to console.
RunStats extractAll(const Store& store, OutputDir& out, Console& console,
                    const ExtractOptions& options = {});

// What of the run's files beyond the selected files was not written, as
// "2 unsafe names skipped, 1 event file not cut, 3 pieces not written";
// empty when nothing was lost that way.
std::string otherLosses(const RunStats& stats);

// Said after the summary when makesNoSense() holds for a run.
constexpr char MAKES_NO_SENSE_LINE[] =
    "no name reached an index entry: the image and the index make no sense together (see the "
    "warnings above)";

// Said of a file read from Mode 2 Form 2 sectors of a raw image.
constexpr char FORM2_WARNING[] =
    "read from Mode 2 Form 2 sectors: each gave the first 2048 of its 2324 bytes, as a 2048-byte "
    "image of the disc holds";

// The closing line: files, pieces and bytes written, files already present,
// warnings, and the index entries no name reached with the command that
// lists them (listCommand, already quoted for the shell).
std::string runSummary(std::string_view program, const RunStats& stats,
                       const std::string& listCommand);

}  // namespace orvex
