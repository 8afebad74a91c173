#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.h"
#include "beneath.h"
#include "interrupt.h"
#include "run.h"

int main(int argc, char** argv) {
  orvex::io::handleProcessSignals();
  const char* resolve = std::getenv("ORVEX_RESOLVE");
  orvex::io::setWalkingResolution(resolve != nullptr && std::strcmp(resolve, "walk") == 0);
  std::vector<std::string> arguments = orvex::io::programArguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  return orvex::runExtractor(static_cast<int>(arguments.size()), pointers.data());
}
