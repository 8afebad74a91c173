// What a run does with what stands at the path of a piece it would write.
#pragma once

#include "output_dir.h"

namespace orvex {

enum class PieceAction {
  kWrite,       // nothing stands there
  kKeepSame,    // the piece's bytes are there already
  kKeepFolder,  // a folder stands there: always kept
  kKeepEdited,  // other bytes (or a link, or anything else) stand there, kept
  kReplace,     // other bytes (or a link, or anything else) stand there, replaced
};

// there: what stands at the path; sameBytes: it is a file holding the
// piece's bytes; refresh: the run replaces what differs.
PieceAction decidePiece(OutputDir::Kind there, bool sameBytes, bool refresh);

}  // namespace orvex
