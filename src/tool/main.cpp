#include <cstdlib>
#include <cstring>
#include <iostream>

#include "beneath.h"
#include "interrupt.h"
#include "tool.h"

int main(int argc, char** argv) {
  orvex::io::handleProcessSignals();
  const char* resolve = std::getenv("ORVEX_RESOLVE");
  orvex::io::setWalkingResolution(resolve != nullptr && std::strcmp(resolve, "walk") == 0);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return orvex::runTool(args, std::cout, std::cerr);
}
