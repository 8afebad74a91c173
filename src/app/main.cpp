#include "interrupt.h"
#include "run.h"

int main(int argc, char** argv) {
  orvex::io::handleProcessSignals();
  return orvex::runExtractor(argc, argv);
}
