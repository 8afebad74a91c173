#include "changes.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "file_io.h"

namespace orvex {
namespace {

Status walk(io::Fs& fs, const std::string& dir, const std::string& prefix,
            std::vector<ChangedFile>* files, Problems* problems) {
  const int fd = fs.open(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) return Status::fromErrno(dir, -fd);
  const io::Fd folder(fd);
  std::vector<io::FolderEntry> entries;
  if (Status s = io::listFolder(fs, fd, &entries); !s.isOk())
    return Status::ioError(dir + ": " + s.message());
  for (const io::FolderEntry& entry : entries) {
    const std::string name = prefix.empty() ? entry.name : prefix + "/" + entry.name;
    const std::string path = dir + "/" + entry.name;
    const mode_t mode = entry.st.st_mode;
    if (S_ISDIR(mode)) {
      if (Status s = walk(fs, path, name, files, problems); !s.isOk()) return s;
    } else if (S_ISLNK(mode)) {
      problems->add(name, "a link, not a file; only regular files are put back");
    } else if (!S_ISREG(mode)) {
      problems->add(name, "not a regular file");
    } else if (static_cast<uint64_t>(entry.st.st_size) > UINT32_MAX) {
      problems->add(name, std::to_string(entry.st.st_size) +
                              " bytes, over the 4 GiB a stored entry can hold");
    } else {
      files->push_back({name, path, static_cast<uint64_t>(entry.st.st_size)});
    }
  }
  return Status::ok();
}

}  // namespace

Status listChangedFiles(io::Fs& fs, const std::string& dir, std::vector<ChangedFile>* files,
                        Problems* problems) {
  files->clear();
  struct stat st;
  const int err = fs.stat(AT_FDCWD, dir.c_str(), &st, 0);
  if (err == -ENOENT) return Status::notFound(dir + ": no such folder");
  if (err != 0) return Status::fromErrno(dir, -err);
  if (!S_ISDIR(st.st_mode)) return Status::notFound(dir + ": not a folder");
  if (Status s = walk(fs, dir, "", files, problems); !s.isOk()) return s;
  std::sort(files->begin(), files->end(),
            [](const ChangedFile& a, const ChangedFile& b) { return a.name < b.name; });
  return Status::ok();
}

}  // namespace orvex
