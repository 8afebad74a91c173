#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file_io.h"
#include "pack.h"
#include "paths.h"

namespace orvex {
namespace {

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu;

const char* specialKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "of an unknown kind";
}

// Walks the whole tree, noting every entry that cannot be packed and going
// on with the rest, so that one run reports all of them.
class TreeWalker {
 public:
  TreeWalker(io::Fs& fs, std::string root, std::vector<SourceFile>* files,
             std::vector<std::string>* emptyFolders, Problems* problems)
      : fs_(fs),
        root_(std::move(root)),
        files_(files),
        emptyFolders_(emptyFolders),
        problems_(problems) {}

  void walk(const std::string& dir, const std::string& prefix) {
    const std::string subject = prefix.empty() ? dir : prefix;
    const int fd = fs_.open(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return note(subject, std::strerror(-fd));
    const io::Fd folder(fd);
    std::vector<io::FolderEntry> entries;
    const Status listed = io::listFolder(fs_, fd, &entries);
    if (!listed.isOk()) return note(subject, std::strerror(listed.osError()));
    if (entries.empty() && !prefix.empty() && emptyFolders_) emptyFolders_->push_back(prefix);
    for (const io::FolderEntry& e : entries)
      visit(dir + "/" + e.name, prefix.empty() ? e.name : prefix + "/" + e.name, e.st);
  }

 private:
  void note(const std::string& name, const std::string& reason) { problems_->add(name, reason); }

  void visit(const std::string& path, const std::string& name, struct stat st) {
    if (S_ISDIR(st.st_mode)) return walk(path, name);
    if (S_ISLNK(st.st_mode)) {
      std::string target;
      if (!resolvePath(path, &target).isOk()) return note(name, "broken symlink");
      if (target != root_ && !isInside(target, root_))
        return note(name, "symlink points outside the source directory, to " + target);
      if (const int err = fs_.stat(AT_FDCWD, path.c_str(), &st, 0); err != 0)
        return note(name, std::strerror(-err));
      if (S_ISDIR(st.st_mode)) return note(name, "symlink to a directory is not packed");
    }
    if (!S_ISREG(st.st_mode))
      return note(name, std::string("not a regular file (") + specialKind(st.st_mode) + ")");
    if (static_cast<uint64_t>(st.st_size) > kMaxFileSize)
      return note(name, "4 GiB or larger; the index holds sizes below 4 GiB");
    const int fd = fs_.open(AT_FDCWD, path.c_str(), O_RDONLY);
    if (fd < 0) return note(name, std::string("cannot read: ") + std::strerror(-fd));
    io::Fd(fd).close();
    files_->push_back({name, path, static_cast<uint64_t>(st.st_size)});
  }

  io::Fs& fs_;
  std::string root_;
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
  if (const Status status = resolvePath(dir, &root); !status.isOk())
    return problems->add(dir, status.message());
  struct stat st;
  if (fs.stat(AT_FDCWD, root.c_str(), &st, 0) != 0 || !S_ISDIR(st.st_mode))
    return problems->add(dir, "not a directory");
  TreeWalker(fs, root, files, emptyFolders, problems).walk(root, "");
  std::sort(files->begin(), files->end(),
            [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
  if (emptyFolders) std::sort(emptyFolders->begin(), emptyFolders->end());
}

}  // namespace orvex
