// Builds the big disc and its reference tree into the folder given, for the
// tests that share it in one ctest run.
#include <exception>
#include <iostream>

#include "big_disc.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: big_disc_setup DIR\n";
    return 2;
  }
  try {
    const orvex::testing::BigDisc disc(argv[1], true);
  } catch (const std::exception& e) {
    std::cerr << "big_disc_setup: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
