// Putting edited files back into a disc: working out which index entries a
// folder of edited files changes, where their new bytes go, and writing a
// patched copy of the disc or patching it in place. Every byte that no
// change owns stays as it was, and every index record keeps its place and
// hash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "names_file.h"
#include "raw_sector.h"
#include "store.h"
#include "stored_form.h"

namespace orvex {

struct PatchOptions {
  // The stored form of a changed entry: kKeep, kStore or kCompress.
  StoredForm form = StoredForm::kKeep;
  // Place every change after the image's end, so that the old bytes stay
  // live until the new index replaces the old one.
  bool inPlace = false;
  // The event table that places edited pieces; when missing, the changes
  // folder's eventsTable, else the table a run would read from the store
  // (under the first listed name that reads), else the store's entry named
  // eventsTable.
  std::optional<std::string> eventsTablePath;
  // Names from names files: a file under such a name changes the entry it
  // reaches (a tied name, the entry it is tied to).
  std::vector<GivenName> givenNames;
  // A folder of files named as `unnamed` writes them (HASH.bin, HASH-N.bin),
  // each put back into the entry it came from.
  std::optional<std::string> unnamedDir;
  // What the user can do, in the command's words, appended to a refusal:
  // when a changed file cannot be compressed, and when a piece is found but
  // no event table places it. Nothing is appended when empty.
  std::string withoutCompressionHint;
  std::string eventsTableHint;
  // Appended to the refusal of a change that the image cannot grow to hold.
  std::string cannotGrowHint;
};

// One index entry the patch changes.
struct EntryChange {
  std::string name;            // the name that reached the entry
  std::vector<size_t> pieces;  // the edited pieces, when the change came through them
  size_t position = 0;         // in the index
  IndexEntry before;
  IndexEntry after;
  bool ownSectors = false;  // rewritten in its own sectors, else appended
  uint64_t offset = 0;      // byte offset of the new stored bytes in the image
  std::vector<uint8_t> stored;
};

// An event file of the changes folder that the disc and its pieces both
// change, its pieces differing from its own cut. Either the file was edited
// and its pieces are from before, or the pieces went in with an earlier
// patch and the file is the disc's from before; nothing here tells which.
struct PieceDisagreement {
  std::string eventName;       // as the event table names it
  std::string file;            // in the changes folder
  std::vector<size_t> pieces;  // the pieces that differ from the file's cut
};

// An event file of the changes folder, equal to the disc's, that the plan
// rebuilds from edited pieces: once the patch is written the folder holds
// the disc's event file from before.
struct StaleEventFile {
  std::string eventName;               // as the event table names it
  std::string file;                    // in the changes folder
  std::vector<size_t> pieces;          // the edited pieces
  std::vector<uint8_t> before, after;  // the file's bytes, on the old disc and rebuilt
};

// How the image's file holds its 2048-byte sectors, as the plan found it.
struct ImageLayout {
  bool raw = false;
  uint64_t dataStart = 0;   // where the data's first sector starts in its file
  uint64_t fileSize = 0;    // the file's length
  uint64_t rawSectors = 0;  // raw sectors of the data track, a cut last one included
  // Sectors appended to a raw image take the mode (and in Mode 2 the
  // subheader) of the data track's last Mode 1 or Mode 2 Form 1 sector, and
  // addresses that count on from its own; no mode when it has no such sector.
  std::optional<SectorMode> appendMode;
  uint32_t firstLba = 0;  // the address of the track's first sector, as they count
  uint8_t subheader[8] = {};
};

struct PatchPlan {
  std::vector<EntryChange> changes;  // in index order
  std::vector<IndexEntry> index;     // the whole new index
  uint64_t imageSize = 0;            // the image's size when planned
  uint64_t newImageSize = 0;
  ImageLayout layout;
  // Also filled when the patch is refused.
  std::vector<PieceDisagreement> disagreements;
  std::vector<StaleEventFile> staleFiles;

  size_t rewrittenInOwnSectors() const;
  // Bytes added after the image's end, sector padding included.
  uint64_t appendedBytes() const { return newImageSize - imageSize; }
};

// Works out the patch that the files under changesDir make to the store.
// When the patch must be refused, returns kInvalid and adds every problem
// found to problems, each as "NAME: WHAT".
Status planPatch(const Store& store, const std::string& changesDir, const PatchOptions& options,
                 PatchPlan* plan, Problems* problems);

// Writes a copy of the image with the plan applied, and the plan's index,
// through temporary files beside the outputs, renamed into place once all
// are complete. An index read out of the image (store.indexInImage) is
// written into the copy's own extent instead, and newIndex is not used. For an image given by a cue
// sheet, newImage is the new cue sheet, and the copy of its data file is patchedDataPath() beside
// it; the new sheet names that copy where the old one named the data file, and every other file as
// it is (from its own folder when the new sheet is elsewhere).
Status writePatchedCopy(const Store& store, const PatchPlan& plan, const std::string& newImage,
                        const std::string& newIndex);

// The data file of a patched copy of a cue sheet's image: newCue's name
// with oldData's extension (".bin" when it has none) in place of ".cue".
std::string patchedDataPath(const std::string& newCue, const std::string& oldData);

// The new cue sheet of a patched copy: the sheet at oldCue with the data
// file's FILE line naming newData, and the other files named so that they
// are found from newCue's folder.
Status patchedCueSheet(io::Fs& fs, const std::string& oldCue, const std::string& newCue,
                       const std::string& newData, std::string* text);

// Appends the plan's bytes to the file holding the image's data, imagePath
// (every change must lie past its end; in a raw image, as sectors of its
// data track's mode), syncs it, then replaces the index atomically (through
// a link, its target, keeping its mode). A run stopped at any point leaves a
// disc that reads entirely as before or entirely as after; a failure, or an
// interrupting signal, before the index is replaced cuts the file back to
// its old length.
Status patchInPlace(const std::string& imagePath, const std::string& indexPath,
                    const PatchPlan& plan, io::Fs& fs);

// patchInPlace for an index read out of the image: once the appended bytes
// are synced, the index's extent is rewritten in one write (the rest of its
// last sector as it was; in a raw image, its sectors sealed anew) and synced.
// A run stopped before that write leaves the disc as before; one stopped
// during it, a mix of the old and new index's sectors. When the write fails
// the old extent is put back and the image cut to its old length; when even
// that fails, *indexTorn is set and the image keeps its appended bytes.
Status patchInPlaceIndexInImage(const std::string& imagePath, const IndexExtent& extent,
                                const PatchPlan& plan, io::Fs& fs, bool* indexTorn);

// What became of one of the plan's stale event files.
struct LevelledFile {
  std::string file;
  Status status;  // ok when replaced by its rebuilt bytes
};

// Brings the changes folder level with the patched disc: each of the plan's
// stale event files still holding the old disc's bytes is atomically
// replaced by its rebuilt bytes. One that changed since the plan was made
// is kept (kExists). Everything goes through the folder's output layer:
// nothing outside it is touched, and a link is never written through.
std::vector<LevelledFile> levelChangesFolder(const std::string& changesDir, const PatchPlan& plan,
                                             io::Fs& fs);

// Pieces as their file names number them: "piece 001", "pieces 000, 002".
std::string pieceNumbers(const std::vector<size_t>& pieces);

}  // namespace orvex
