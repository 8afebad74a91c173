#include "status.h"

#include <cstring>

namespace orvex {

Status Status::fromErrno(const std::string& what, int err) {
  return ioError(what + ": " + std::strerror(err));
}

}  // namespace orvex
