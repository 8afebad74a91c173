#include <iostream>

#include "interrupt.h"
#include "tool.h"

int main(int argc, char** argv) {
  orvex::io::handleProcessSignals();
  const std::vector<std::string> args(argv + 1, argv + argc);
  return orvex::runTool(args, std::cout, std::cerr);
}
