#include "status.h"

#include <cstring>
#include <ostream>

namespace orvex {

Status Status::fromErrno(const std::string& what, int err) {
  return {Code::kIoError, what + ": " + std::strerror(err), err};
}

Status Status::fromErrno(int err) { return {Code::kIoError, std::strerror(err), err}; }

void Problems::add(std::string_view subject, std::string_view what) {
  std::string line(subject);
  line += ": ";
  line += what;
  lines_.push_back(std::move(line));
}

void Problems::print(std::ostream& out, std::string_view prefix) const {
  for (const std::string& line : lines_) out << prefix << ": " << line << '\n';
}

}  // namespace orvex
