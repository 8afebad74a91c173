#include "terminal.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "arguments.h"

namespace orvex::io {

bool isTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

size_t terminalColumns(std::FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool standardStreamsShareTarget() {
  struct stat out, err;
  return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
         out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}

// Streams carry bytes unchanged on POSIX.
void writeBinary(std::FILE*) {}

std::vector<std::string> programArguments(int argc, char** argv) {
  return {argv, argv + argc};
}

}  // namespace orvex::io
