#include "changes.h"

#include <algorithm>
#include <cerrno>

#include "file_names.h"
#include "tree_walk.h"

namespace orvex {
namespace {

// Takes the regular files; the first folder that cannot be read ends the
// walk.
class ChangesVisitor : public io::TreeVisitor {
 public:
  ChangesVisitor(const io::NameRules& rules, std::vector<ChangedFile>* files, Problems* problems)
      : rules_(rules), files_(files), problems_(problems) {}

  bool goOnAfter(const std::string&, const std::string&, const Status&) override { return false; }

  void entry(const io::TreeEntry& entry) override {
    const std::string& name = entry.name;
    const std::optional<std::string> discName = discNameFor(name, rules_);
    if (entry.info.kind == io::FileKind::kLink) {
      problems_->add(name, "a link, not a file; only regular files are put back");
    } else if (entry.info.kind != io::FileKind::kFile) {
      problems_->add(name, "not a regular file");
    } else if (entry.info.size > UINT32_MAX) {
      problems_->add(
          name, std::to_string(entry.info.size) + " bytes, over the 4 GiB a stored entry can hold");
    } else if (!discName) {
      problems_->add(name, std::string(NO_DISC_NAME) + ", not put back");
    } else {
      files_->push_back({*discName, entry.path, entry.info.size});
    }
  }

 private:
  const io::NameRules& rules_;
  std::vector<ChangedFile>* files_;
  Problems* problems_;
};

}  // namespace

Status listChangedFiles(io::Fs& fs, const std::string& dir, std::vector<ChangedFile>* files,
                        Problems* problems, io::NameRules* rules) {
  files->clear();
  io::FileInfo info;
  const Status looked = fs.info(io::Folder::working(), dir, io::Follow::kYes, &info);
  if (looked.osError() == ENOENT) return Status::notFound(dir + ": no such folder");
  if (!looked.isOk()) return looked.context(dir);
  if (info.kind != io::FileKind::kFolder) return Status::notFound(dir + ": not a folder");
  io::NameRules folderRules;
  io::Folder folder;
  if (fs.openFolder(io::Folder::working(), dir, io::FolderIntent::kPass, io::Follow::kYes, &folder)
          .isOk())
    folderRules = fs.nameRules(folder);
  if (rules) *rules = folderRules;
  ChangesVisitor visitor(folderRules, files, problems);
  if (Status s = io::walkTree(fs, dir, io::Follow::kNo, visitor); !s.isOk()) return s;
  std::sort(files->begin(), files->end(),
            [](const ChangedFile& a, const ChangedFile& b) { return a.name < b.name; });
  return Status::ok();
}

}  // namespace orvex
