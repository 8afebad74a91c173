#include <cstdlib>
#include <cstring>
#include <iostream>

#include "arguments.h"
#include "beneath.h"
#include "interrupt.h"
#include "tool.h"

int main(int argc, char** argv) {
  orvex::io::handleProcessSignals();
  const char* resolve = std::getenv("ORVEX_RESOLVE");
  orvex::io::setWalkingResolution(resolve != nullptr && std::strcmp(resolve, "walk") == 0);
  const std::vector<std::string> arguments = orvex::io::programArguments(argc, argv);
  const std::vector<std::string> args(arguments.begin() + (arguments.empty() ? 0 : 1),
                                      arguments.end());
  return orvex::runTool(args, std::cout, std::cerr);
}
