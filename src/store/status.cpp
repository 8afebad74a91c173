#include "status.h"

#include <cstring>

namespace orvex {

Status Status::fromErrno(const std::string& what, int err) {
  return ioError(what + ": " + std::strerror(err));
}

Status Status::fromErrno(int err) { return ioError(std::strerror(err)); }

}  // namespace orvex
