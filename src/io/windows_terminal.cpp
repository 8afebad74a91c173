#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>

#include "arguments.h"
#include "terminal.h"
#include "windows_native.h"

namespace orvex::io {
namespace {

HANDLE handleOf(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

bool isConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

bool isTerminal(std::FILE* stream) { return isConsole(handleOf(stream)); }

size_t terminalColumns(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO screen;
  if (!GetConsoleScreenBufferInfo(handleOf(stream), &screen)) return 0;
  return static_cast<size_t>(screen.srWindow.Right - screen.srWindow.Left + 1);
}

bool standardStreamsShareTarget() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (isConsole(out) && isConsole(err)) return true;
  BY_HANDLE_FILE_INFORMATION a, b;
  return GetFileInformationByHandle(out, &a) && GetFileInformationByHandle(err, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

void writeBinary(std::FILE* stream) {
  std::fflush(stream);
  _setmode(_fileno(stream), _O_BINARY);
}

std::vector<std::string> programArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(toUtf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

}  // namespace orvex::io
