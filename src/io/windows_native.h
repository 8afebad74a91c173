// Inside the Windows backend: UTF-8 and UTF-16, the paths of open folders,
// and Win32 errors as error numbers. Nothing outside src/io includes this.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "fs.h"

namespace orvex::io {

// False when text is not valid UTF-8 (the system could not hold it as named).
bool toWide(std::string_view text, std::wstring* wide);
std::string toUtf8(std::wstring_view wide);

// The path that names within folder are joined onto: "\\?\"-prefixed and
// absolute for folders opened by the backend, empty for the working folder.
std::wstring folderPathOf(const Folder& folder);

HANDLE nativeHandle(const Handle& handle);

// errno's number for a Win32 error code.
int errnoOf(DWORD error);
// The Status of a failed Win32 call (GetLastError's error).
Status lastWindowsError();

}  // namespace orvex::io
