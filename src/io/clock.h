// Time for rates and for spacing redraws.
#pragma once

namespace orvex::io {

// Seconds from a fixed point in the past; never goes back.
double monotonicSeconds();

}  // namespace orvex::io
