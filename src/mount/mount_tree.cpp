#include "mount_tree.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "catalog.h"
#include "file_io.h"

namespace orvex {

// Follows the walk as extraction into an empty folder would, writing into
// the tree instead.
class MountTreeBuilder : public NameVisitor {
 public:
  MountTreeBuilder(const Store& store, MountTree* tree, Problems* warnings)
      : store_(store), tree_(*tree), warnings_(*warnings), reached_(store.index.entries().size()) {}

  void listLookedUp(std::string_view, const Location& where) override { reach(where.position); }

  void file(std::string_view name, int64_t position) override {
    reach(position);
    if (name.back() == '/' || position < 0) return;
    const std::string path = key(name);
    if (path.empty() || tree_.byPath_.contains(path)) return;  // present
    const Location where = locateEntry(store_, static_cast<size_t>(position));
    if (!where.status.isOk()) {
      warnings_.add(name, where.status.message() + ", not shown");
      return;
    }
    MountNode file;
    file.position = position;
    if (where.entry->flags & FLAG_COMPRESSED) {
      file.kind = MountNode::Kind::kCompressed;
      file.size = statedLength(store_, where).value_or(0);
    } else {
      file.kind = MountNode::Kind::kStored;
      file.size = where.entry->size;
    }
    add(path, std::move(file));
  }

  Status readEventTable(std::vector<uint8_t>* bytes) override {
    return readBack(EVENTS_TABLE_NAME, bytes);
  }

  Status readBack(std::string_view name, std::vector<uint8_t>* bytes) override {
    const auto found = tree_.byPath_.find(key(name));
    if (found == tree_.byPath_.end()) return Status::notFound("not in the tree");
    const MountNode& node = tree_.nodes_[found->second];
    if (node.kind == MountNode::Kind::kFolder) return Status::invalid("not a regular file");
    if (node.kind == MountNode::Kind::kPiece) {
      const MountNode& source = tree_.nodes_[node.source];
      std::vector<uint8_t> whole;
      if (Status s = readLocated(store_, locateEntry(store_, source.position), &whole); !s.isOk())
        return s;
      bytes->assign(whole.begin() + node.start, whole.begin() + node.start + node.size);
      return Status::ok();
    }
    return readLocated(store_, locateEntry(store_, static_cast<size_t>(node.position)), bytes);
  }

  // A run writes the listed table into the folder: the tree has it already.
  bool tableFromStore(std::string_view) override { return false; }

  void pieces(std::string_view eventName, const std::string& dir, const std::vector<uint8_t>& bytes,
              const std::vector<EventPiece>& pieces) override {
    const auto event = tree_.byPath_.find(key(eventName));
    if (event == tree_.byPath_.end()) return;
    const std::string folder = key(dir);
    if (!makeFolders(folder, true)) {
      warnings_.add(eventName, "a file stands where its piece folder belongs, not split");
      return;
    }
    const std::vector<bool> written = writtenPieces(bytes.size(), pieces);
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (!written[i]) continue;
      const std::string path = key(piecePath(folder, i));
      MountNode piece;
      piece.kind = MountNode::Kind::kPiece;
      piece.source = event->second;
      piece.start = pieces[i].start;
      piece.size = pieces[i].end - pieces[i].start;
      const auto there = tree_.byPath_.find(path);
      if (there == tree_.byPath_.end()) {
        add(path, std::move(piece));
      } else if (tree_.nodes_[there->second].kind != MountNode::Kind::kFolder) {
        // Pieces are written again on every cut.
        piece.name = tree_.nodes_[there->second].name;
        piece.parent = tree_.nodes_[there->second].parent;
        tree_.nodes_[there->second] = std::move(piece);
      }
    }
  }

  void warning(std::string_view subject, std::string_view reason) override {
    warnings_.add(subject, reason);
  }

  // Adds the entries no name reached, as `unnamed` names them.
  void addUnnamed() {
    if (tree_.byPath_.contains(UNNAMED_FOLDER)) {
      warnings_.add(UNNAMED_FOLDER, "the disc has a name there; its unnamed entries are not shown");
      return;
    }
    const std::vector<IndexEntry>& entries = store_.index.entries();
    std::unordered_map<uint32_t, uint32_t> seen;  // hash -> index entries so far
    bool any = false;
    for (size_t i = 0; i < entries.size(); ++i) {
      const uint32_t earlier = seen[entries[i].hash]++;
      if (reached_[i] || entries[i].sector == 0) continue;
      const Location where = locateEntry(store_, i);
      if (!where.status.isOk()) continue;
      if (!any) makeFolders(UNNAMED_FOLDER, false);
      any = true;
      MountNode file;
      file.position = static_cast<int64_t>(i);
      file.kind = entries[i].flags & FLAG_COMPRESSED ? MountNode::Kind::kCompressed
                                                     : MountNode::Kind::kStored;
      file.size = file.kind == MountNode::Kind::kCompressed
                      ? statedLength(store_, where).value_or(0)
                      : entries[i].size;
      add(std::string(UNNAMED_FOLDER) + "/" + unnamedFileName(entries[i].hash, earlier),
          std::move(file));
    }
  }

 private:
  void reach(int64_t position) {
    if (position >= 0) reached_[static_cast<size_t>(position)] = true;
  }

  static std::string key(std::string_view name) {
    io::PathParts parts;
    if (!io::splitName(name, &parts).isOk()) return "";
    return io::joinParts(parts, parts.size());
  }

  // Makes every folder of path (path itself too when whole); false when a
  // file stands in the way.
  bool makeFolders(const std::string& path, bool whole) {
    uint32_t parent = 0;
    size_t start = 0;
    for (;;) {
      const size_t slash = path.find('/', start);
      if (slash == std::string::npos && !whole) return true;
      const std::string prefix = path.substr(0, slash);
      const auto there = tree_.byPath_.find(prefix);
      if (there != tree_.byPath_.end()) {
        if (tree_.nodes_[there->second].kind != MountNode::Kind::kFolder) return false;
        parent = there->second;
      } else {
        MountNode folder;
        folder.name =
            path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        folder.parent = parent;
        parent = link(prefix, std::move(folder));
      }
      if (slash == std::string::npos) return true;
      start = slash + 1;
    }
  }

  void add(const std::string& path, MountNode file) {
    if (!makeFolders(path, false)) return;  // a file where a folder is needed
    const size_t slash = path.rfind('/');
    file.name = slash == std::string::npos ? path : path.substr(slash + 1);
    file.parent = slash == std::string::npos ? 0 : tree_.byPath_.at(path.substr(0, slash));
    link(path, std::move(file));
  }

  uint32_t link(const std::string& path, MountNode node) {
    const auto index = static_cast<uint32_t>(tree_.nodes_.size());
    tree_.nodes_[node.parent].children.push_back(index);
    tree_.nodes_.push_back(std::move(node));
    tree_.byPath_.emplace(path, index);
    return index;
  }

  const Store& store_;
  MountTree& tree_;
  Problems& warnings_;
  std::vector<bool> reached_;
};

MountTree MountTree::build(const Store& store, const MountOptions& options, Problems* warnings) {
  MountTree tree;
  MountTreeBuilder builder(store, &tree, warnings);
  walkNames(store, builder, options.walk);
  if (options.unnamed) builder.addUnnamed();
  for (MountNode& node : tree.nodes_)
    std::sort(node.children.begin(), node.children.end(),
              [&](uint32_t a, uint32_t b) { return tree.nodes_[a].name < tree.nodes_[b].name; });
  return tree;
}

std::optional<uint32_t> MountTree::find(std::string_view path) const {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  if (path.empty()) return 0;
  const auto it = byPath_.find(std::string(path));
  if (it == byPath_.end()) return std::nullopt;
  return it->second;
}

std::optional<uint32_t> MountTree::child(uint32_t folder, std::string_view name) const {
  const std::vector<uint32_t>& children = nodes_[folder].children;
  const auto it =
      std::lower_bound(children.begin(), children.end(), name,
                       [&](uint32_t a, std::string_view b) { return nodes_[a].name < b; });
  if (it == children.end() || nodes_[*it].name != name) return std::nullopt;
  return *it;
}

std::string MountTree::pathOf(uint32_t index) const {
  std::string path;
  for (; index != 0; index = nodes_[index].parent)
    path = nodes_[index].name + (path.empty() ? "" : "/" + path);
  return path;
}

Status sliceMountFile(const Store& store, const MountTree& tree, uint32_t index, uint64_t offset,
                      size_t length, const DecodedFile& decoded, MountSlice* slice) {
  *slice = {};
  const MountNode& node = tree.node(index);
  if (node.kind == MountNode::Kind::kFolder) return Status::invalid("a folder");
  if (offset >= node.size) return Status::ok();
  length = static_cast<size_t>(std::min<uint64_t>(length, node.size - offset));
  if (node.kind == MountNode::Kind::kStored) {
    slice->at = locateEntry(store, static_cast<size_t>(node.position)).offset + offset;
    slice->length = length;
    return Status::ok();
  }
  const uint32_t whole = node.kind == MountNode::Kind::kPiece ? node.source : index;
  const uint64_t start = node.kind == MountNode::Kind::kPiece ? node.start + offset : offset;
  if (tree.node(whole).kind == MountNode::Kind::kStored)
    return sliceMountFile(store, tree, whole, start, length, decoded, slice);
  std::shared_ptr<const std::vector<uint8_t>> bytes;
  if (Status s = decoded(whole, &bytes); !s.isOk()) return s;
  if (start >= bytes->size()) return Status::ok();
  slice->length = static_cast<size_t>(std::min<uint64_t>(length, bytes->size() - start));
  slice->at = start;
  slice->decoded = std::move(bytes);
  return Status::ok();
}

Status readMountFile(const Store& store, const MountTree& tree, uint32_t index, uint64_t offset,
                     uint8_t* into, size_t length, const DecodedFile& decoded, size_t* got) {
  *got = 0;
  MountSlice slice;
  if (Status s = sliceMountFile(store, tree, index, offset, length, decoded, &slice); !s.isOk())
    return s;
  if (slice.decoded) {
    std::memcpy(into, slice.decoded->data() + slice.at, slice.length);
    *got = slice.length;
    return Status::ok();
  }
  return readImage(store.image, into, slice.length, slice.at, got);
}

}  // namespace orvex
