#include "run.h"

int main(int argc, char** argv) { return orvex::runExtractor(argc, argv); }
