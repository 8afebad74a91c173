#include <cstdlib>
#include <cstring>

#include "beneath.h"
#include "interrupt.h"
#include "run.h"

int main(int argc, char** argv) {
  orvex::io::handleProcessSignals();
  const char* resolve = std::getenv("ORVEX_RESOLVE");
  orvex::io::setWalkingResolution(resolve != nullptr && std::strcmp(resolve, "walk") == 0);
  return orvex::runExtractor(argc, argv);
}
