#include "clock.h"

#include <chrono>

namespace orvex::io {

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace orvex::io
