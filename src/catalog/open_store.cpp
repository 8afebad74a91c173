#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "catalog.h"

namespace orvex {

bool openStore(const std::string& imagePath, const std::string& indexPath, Store* store,
               std::string* error) {
  if (!openImage(imagePath, &store->image)) {
    *error = "cannot open image " + imagePath + ": " + std::strerror(errno);
    return false;
  }
  const int fd = open(indexPath.c_str(), O_RDONLY | O_CLOEXEC);
  std::string why;
  if (fd < 0 || !loadIndex(fd, &store->index, &why)) {
    if (fd < 0) why = std::strerror(errno);
    if (fd >= 0) close(fd);
    closeImage(&store->image);
    *error = "cannot read index " + indexPath + ": " + why;
    return false;
  }
  close(fd);
  store->image.baseSector = findBootSector(store->image);
  return true;
}

}  // namespace orvex
