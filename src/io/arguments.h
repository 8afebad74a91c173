// The program's arguments as UTF-8, whatever form the system hands them in
// (on Windows, the wide command line, not the ANSI code page's copy).
#pragma once

#include <string>
#include <vector>

namespace orvex::io {

std::vector<std::string> programArguments(int argc, char** argv);

}  // namespace orvex::io
