#include "wildcard.h"

#include <cctype>
#include <cstddef>

namespace orvex {
namespace {

bool inClass(std::string_view name, unsigned char c) {
  if (name == "alnum") return std::isalnum(c);
  if (name == "alpha") return std::isalpha(c);
  if (name == "blank") return c == ' ' || c == '\t';
  if (name == "cntrl") return std::iscntrl(c);
  if (name == "digit") return std::isdigit(c);
  if (name == "graph") return std::isgraph(c);
  if (name == "lower") return std::islower(c);
  if (name == "print") return std::isprint(c);
  if (name == "punct") return std::ispunct(c);
  if (name == "space") return std::isspace(c);
  if (name == "upper") return std::isupper(c);
  if (name == "xdigit") return std::isxdigit(c);
  return false;
}

// The set that starts at pattern[at] (just after its '['): whether c is in
// it. False when the set has no closing ']', which leaves the '[' an
// ordinary byte; else *end is just after the ']'.
bool readSet(std::string_view pattern, size_t at, unsigned char c, bool* in, size_t* end) {
  const bool negated = at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^');
  if (negated) ++at;
  bool found = false;
  for (size_t i = at; i < pattern.size(); ++i) {
    if (pattern[i] == ']' && i > at) {
      *in = found != negated;
      *end = i + 1;
      return true;
    }
    if (pattern.substr(i).starts_with("[:")) {
      const size_t close = pattern.find(":]", i + 2);
      if (close != std::string_view::npos) {
        found = found || inClass(pattern.substr(i + 2, close - i - 2), c);
        i = close + 1;
        continue;
      }
    }
    if (pattern[i] == '\\' && i + 1 < pattern.size()) ++i;
    unsigned char low = static_cast<unsigned char>(pattern[i]), high = low;
    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
      i += 2;
      if (pattern[i] == '\\' && i + 1 < pattern.size()) ++i;
      high = static_cast<unsigned char>(pattern[i]);
    }
    found = found || (low <= c && c <= high);
  }
  return false;
}

// Whether the element of pattern at *p (not a '*') matches c; *p moves past it.
bool matchOne(std::string_view pattern, size_t* p, unsigned char c) {
  const char first = pattern[*p];
  if (first == '?') {
    ++*p;
    return true;
  }
  if (first == '[') {
    bool in = false;
    size_t end = 0;
    if (readSet(pattern, *p + 1, c, &in, &end)) {
      *p = end;
      return in;
    }
  }
  if (first == '\\') {
    // A backslash with nothing after it matches nothing.
    if (*p + 1 == pattern.size()) return false;
    ++*p;
  }
  return static_cast<unsigned char>(pattern[(*p)++]) == c;
}

}  // namespace

bool wildcardMatches(std::string_view pattern, std::string_view name) {
  // Each '*' first matches nothing; on a mismatch the last '*' takes one more
  // byte and matching goes on from there. Anything before that star matched
  // as early as it could, which leaves the later parts every chance.
  size_t p = 0, n = 0;
  size_t starP = std::string_view::npos, starN = 0;
  while (true) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starN = n;
      continue;
    }
    if (p == pattern.size() && (n == name.size() || name[n] == '/')) return true;
    size_t next = p;
    if (p < pattern.size() && n < name.size() &&
        matchOne(pattern, &next, static_cast<unsigned char>(name[n]))) {
      p = next;
      ++n;
      continue;
    }
    if (starP == std::string_view::npos || starN >= name.size()) return false;
    p = starP;
    n = ++starN;
  }
}

}  // namespace orvex
