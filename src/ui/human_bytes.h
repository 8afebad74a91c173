// Byte counts as people read them: "512 B", "4.7 KiB", "1.2 MiB".
#pragma once

#include <string>

namespace orvex {

// Whole bytes below 1 KiB, else one decimal in the largest binary unit that
// keeps the number at 1024 or more below it.
std::string humanBytes(double bytes);

}  // namespace orvex
