// The wildcards of extract's patterns, matched against a disc's names.
#pragma once

#include <string_view>

namespace orvex {

// Whether pattern matches name, or the name of a folder above it (a leading
// part of name that a '/' follows). '*' matches any run of bytes, '/'
// included; '?' one byte; [abc], [a-z], [!a-z] or [^a-z] and classes such
// as [[:digit:]] one byte of a set; '\' takes the next byte as it is. A '['
// without its ']' is an ordinary byte.
bool wildcardMatches(std::string_view pattern, std::string_view name);

}  // namespace orvex
