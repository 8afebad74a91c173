// The tree a mount shows: the one `orvex-tool extract` writes into an empty
// folder with the same options, built from the disc alone without decoding
// any file but the lists, the event table and the event files the walk
// cuts. Files keep where their bytes are: an entry's stored bytes, or a
// slice of an event file. Entries no name reaches are added in one folder,
// under the names `unnamed` gives them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "status.h"
#include "store.h"
#include "walk.h"

namespace orvex {

// The folder of the entries no name reaches, unless the disc has a name
// there itself.
constexpr char UNNAMED_FOLDER[] = "_unnamed";

struct MountNode {
  enum class Kind {
    kFolder,
    kStored,      // the entry's bytes as stored
    kCompressed,  // the entry's stream, decoded; size as its trailer states
    kPiece,       // a slice of another file
  };
  Kind kind = Kind::kFolder;
  std::string name;  // the last part of its path
  uint32_t parent = 0;
  std::vector<uint32_t> children;  // of a folder, in name order
  uint64_t size = 0;
  int64_t position = -1;  // index entry of a stored or compressed file
  uint32_t source = 0;    // the file a piece is cut from
  uint64_t start = 0;     // where in it the piece starts
};

struct MountOptions {
  WalkOptions walk;
  bool unnamed = true;  // show the entries no name reaches
};

class MountTree {
 public:
  // Builds the tree; what a run would warn about goes to warnings.
  static MountTree build(const Store& store, const MountOptions& options, Problems* warnings);

  const MountNode& node(uint32_t index) const { return nodes_[index]; }
  size_t size() const { return nodes_.size(); }
  // The node at path ("" or "/" is the root; "a/b" or "/a/b"), if any.
  std::optional<uint32_t> find(std::string_view path) const;
  // The entry called name in the folder, if any.
  std::optional<uint32_t> child(uint32_t folder, std::string_view name) const;
  // The node's path from the root, without a leading '/'.
  std::string pathOf(uint32_t index) const;

 private:
  friend class MountTreeBuilder;

  std::vector<MountNode> nodes_{MountNode{}};  // the root first
  std::unordered_map<std::string, uint32_t> byPath_;
};

// Decoded bytes of a compressed file come from decoded(node), which gives
// the whole file.
using DecodedFile =
    std::function<Status(uint32_t node, std::shared_ptr<const std::vector<uint8_t>>*)>;

// Where the bytes a read of a file node asks for are: a stretch of the image
// (stored files and pieces of them) or of a decoded file, which the slice
// holds on to.
struct MountSlice {
  std::shared_ptr<const std::vector<uint8_t>> decoded;  // none: in the image
  uint64_t at = 0;                                      // offset in the image or in decoded
  size_t length = 0;                                    // 0 at or past the end
};
Status sliceMountFile(const Store& store, const MountTree& tree, uint32_t node, uint64_t offset,
                      size_t length, const DecodedFile& decoded, MountSlice* slice);

// Reads a file node's bytes from offset on, at most length, into into;
// *got is how many.
Status readMountFile(const Store& store, const MountTree& tree, uint32_t node, uint64_t offset,
                     uint8_t* into, size_t length, const DecodedFile& decoded, size_t* got);

}  // namespace orvex
