// Names files: plain text, one name per line as bytes. Lines that start with
// '#' are comments and empty lines are skipped; CRLF is accepted. Escapes
// hold the bytes a line cannot: \n, \\ and \xHH (two hex digits). A line may
// end with a tab and #POSITION, which ties the name to that index entry: the
// only way to name a shadowed entry, which no lookup returns. A plain name
// reaches what a lookup reaches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "status.h"

namespace orvex {

struct GivenName {
  std::string name;
  std::optional<uint32_t> position;  // the index entry it is tied to
  std::string source;                // "FILE:LINE", for messages
};

// Adds the names of a names file's text to names; each line that cannot be
// read is a problem "SOURCE:LINE: WHAT" and is passed over.
void decodeNamesFile(std::string_view text, const std::string& source,
                     std::vector<GivenName>* names, Problems* problems);

// One line of a names file for name (without its line break).
std::string encodeNameLine(std::string_view name, std::optional<uint32_t> position = {});

}  // namespace orvex
