#include "piece_policy.h"

namespace orvex {

PieceAction decidePiece(OutputDir::Kind there, bool sameBytes, bool refresh) {
  if (there == OutputDir::Kind::kFolder) return PieceAction::kKeepFolder;
  if (there == OutputDir::Kind::kAbsent) return PieceAction::kWrite;
  if (sameBytes && there == OutputDir::Kind::kFile) return PieceAction::kKeepSame;
  return refresh ? PieceAction::kReplace : PieceAction::kKeepEdited;
}

}  // namespace orvex
