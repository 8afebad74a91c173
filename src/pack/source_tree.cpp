#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file_io.h"
#include "file_names.h"
#include "pack.h"
#include "paths.h"
#include "tree_walk.h"

namespace orvex {
namespace {

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu;

const char* specialKind(io::FileKind kind) {
  switch (kind) {
    case io::FileKind::kPipe:
      return "a FIFO";
    case io::FileKind::kSocket:
      return "a socket";
    case io::FileKind::kDevice:
      return "a device";
    default:
      return "of an unknown kind";
  }
}

// Notes every entry of the tree that cannot be packed and goes on with the
// rest, so that one run reports all of them.
class SourceVisitor : public io::TreeVisitor {
 public:
  SourceVisitor(io::Fs& fs, std::string root, const io::NameRules& rules,
                std::vector<SourceFile>* files, std::vector<std::string>* emptyFolders,
                Problems* problems)
      : fs_(fs),
        root_(std::move(root)),
        rules_(rules),
        files_(files),
        emptyFolders_(emptyFolders),
        problems_(problems) {}

  bool goOnAfter(const std::string& name, const std::string& path, const Status& failure) override {
    note(name.empty() ? path : name, std::strerror(failure.osError()));
    return true;
  }

  void emptyFolder(const std::string& name) override {
    if (emptyFolders_) emptyFolders_->push_back(name);
  }

  void entry(const io::TreeEntry& entry) override {
    const std::string& name = entry.name;
    const std::optional<std::string> discName = discNameFor(name, rules_);
    if (!discName) return note(name, std::string(NO_DISC_NAME) + ", not packed");
    io::FileInfo info = entry.info;
    if (info.kind == io::FileKind::kLink) {
      std::string target;
      if (!resolvePath(fs_, entry.path, &target).isOk()) return note(name, "broken symlink");
      if (target != root_ && !isInside(target, root_))
        return note(name, "symlink points outside the source directory, to " + target);
      if (Status s = fs_.info(io::Folder::working(), entry.path, io::Follow::kYes, &info);
          !s.isOk())
        return note(name, s.message());
      if (info.kind == io::FileKind::kFolder)
        return note(name, "symlink to a directory is not packed");
    }
    if (info.kind != io::FileKind::kFile)
      return note(name, std::string("not a regular file (") + specialKind(info.kind) + ")");
    if (info.size > kMaxFileSize)
      return note(name, "4 GiB or larger; the index holds sizes below 4 GiB");
    io::File file;
    if (Status s = fs_.openFile(io::Folder::working(), entry.path, io::FileIntent::kRead,
                                io::Follow::kYes, &file);
        !s.isOk())
      return note(name, "cannot read: " + s.message());
    files_->push_back({*discName, entry.path, info.size});
  }

 private:
  void note(const std::string& name, const std::string& reason) { problems_->add(name, reason); }

  io::Fs& fs_;
  std::string root_;
  const io::NameRules& rules_;
  std::vector<SourceFile>* files_;
  std::vector<std::string>* emptyFolders_;
  Problems* problems_;
};

}  // namespace

void listSourceTree(io::Fs& fs, const std::string& dir, std::vector<SourceFile>* files,
                    Problems* problems, std::vector<std::string>* emptyFolders) {
  files->clear();
  if (emptyFolders) emptyFolders->clear();
  std::string root;
  if (const Status status = resolvePath(fs, dir, &root); !status.isOk())
    return problems->add(dir, status.message());
  io::FileInfo info;
  if (!fs.info(io::Folder::working(), root, io::Follow::kYes, &info).isOk() ||
      info.kind != io::FileKind::kFolder)
    return problems->add(dir, "not a directory");
  io::NameRules rules;
  io::Folder folder;
  if (fs.openFolder(io::Folder::working(), root, io::FolderIntent::kPass, io::Follow::kYes, &folder)
          .isOk())
    rules = fs.nameRules(folder);
  SourceVisitor visitor(fs, root, rules, files, emptyFolders, problems);
  (void)io::walkTree(fs, root, io::Follow::kYes, visitor);
  std::sort(files->begin(), files->end(),
            [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
  if (emptyFolders) std::sort(emptyFolders->begin(), emptyFolders->end());
}

}  // namespace orvex
