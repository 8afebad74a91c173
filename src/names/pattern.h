// Name patterns and the search for the names they give that have given
// hashes. A pattern is literal bytes and:
//   ?            one byte of the alphabet
//   *            up to 8 bytes of the alphabet
//   [a-z0-9_]    one byte of the class (ranges and single bytes)
//   X{n} X{n,m}  a class or '?' repeated n times, or n to m times
//   {map,tile}   one of the alternatives (braces holding a non-digit)
//   \c           the byte c itself
// The name hash has hash(P + S) = (hash(P) << |S|) XOR hash(S), so a pattern
// is solved by meeting in the middle: a table of the hashes of the names its
// second half gives, and a lookup for each name of its first half, instead
// of hashing every name it gives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "status.h"

namespace orvex {

constexpr char DEFAULT_ALPHABET[] = "abcdefghijklmnopqrstuvwxyz0123456789_";

// A pattern as a sequence of places, each one of some strings (the empty
// string among them for an optional byte).
struct NamePattern {
  std::string text;
  std::vector<std::vector<std::string>> places;

  // How many names the places give, counting a name given in several ways
  // (optional bytes) each time; saturates at UINT64_MAX.
  uint64_t expansions() const;
  // Bytes of the name the pattern leaves free: the longest a name's
  // variable part can be.
  size_t freeBytes() const;
};

Status parsePattern(std::string_view text, std::string_view alphabet, NamePattern* pattern);

// Calls found(name) once for every name the pattern gives whose hash is in
// targets, by meeting in the middle; tableLimit bounds the entries of the
// table of the second half. tried, when set, is told now and then how many
// of the pattern's names are done.
void solvePattern(const NamePattern& pattern, const std::unordered_set<uint32_t>& targets,
                  const std::function<void(const std::string&)>& found,
                  uint64_t tableLimit = uint64_t{1} << 24,
                  const std::function<void(uint64_t)>& tried = {});

// The same by hashing every name the pattern gives: for checking the search
// on small patterns.
void enumeratePattern(const NamePattern& pattern, const std::unordered_set<uint32_t>& targets,
                      const std::function<void(const std::string&)>& found);

}  // namespace orvex
