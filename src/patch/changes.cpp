#include "changes.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace orvex {

namespace fs = std::filesystem;

Status listChangedFiles(const std::string& dir, std::vector<ChangedFile>* files,
                        std::vector<std::string>* problems) {
  files->clear();
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return Status::notFound(dir + ": not a folder");
  const fs::path root(dir);
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path& path = it->path();
    const std::string name = path.lexically_relative(root).generic_string();
    const fs::file_status status = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_directory(status)) continue;
    if (fs::is_symlink(status)) {
      problems->push_back(name + ": a link, not a file; only regular files are put back");
    } else if (!fs::is_regular_file(status)) {
      problems->push_back(name + ": not a regular file");
    } else {
      const uint64_t size = it->file_size(ec);
      if (ec) break;
      if (size > UINT32_MAX)
        problems->push_back(name + ": " + std::to_string(size) +
                            " bytes, over the 4 GiB a stored entry can hold");
      else
        files->push_back({name, path.string(), size});
    }
  }
  if (ec) return Status::fromErrno(dir, ec.value());
  std::sort(files->begin(), files->end(),
            [](const ChangedFile& a, const ChangedFile& b) { return a.name < b.name; });
  return Status::ok();
}

}  // namespace orvex
