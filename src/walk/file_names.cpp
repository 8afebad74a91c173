#include "file_names.h"

#include <cstdint>
#include <vector>

namespace orvex {
namespace {

constexpr std::string_view kUnheld = "<>:\"|?*\\%";

// The length of the well-formed UTF-8 sequence at name[at], or 0: no
// overlong forms, no surrogates, nothing past U+10FFFF.
size_t utf8Length(std::string_view name, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(name[i]); };
  const uint8_t lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > name.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether part opens a device: NUL, CON, AUX, PRN, COM1-9 or LPT1-9 in any
// case, alone or followed by '.', a space or ':'.
bool opensDevice(std::string_view part) {
  const std::string_view stem = part.substr(0, part.find_first_of(". :"));
  std::string upper;
  for (char c : stem) upper += upperAscii(c);
  if (upper == "NUL" || upper == "CON" || upper == "AUX" || upper == "PRN") return true;
  return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
         upper[3] >= '1' && upper[3] <= '9';
}

void appendEscaped(std::string* out, uint8_t byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  *out += '%';
  *out += kHex[byte >> 4];
  *out += kHex[byte & 0xF];
}

void appendPart(std::string* out, std::string_view part) {
  if (part.empty() || part == "." || part == "..") {
    *out += part;
    return;
  }
  // Trailing dots and spaces would be dropped by the file system.
  size_t trailing = part.size();
  while (trailing > 0 && (part[trailing - 1] == '.' || part[trailing - 1] == ' ')) --trailing;
  const bool device = opensDevice(part);
  for (size_t i = 0; i < part.size();) {
    const uint8_t byte = static_cast<uint8_t>(part[i]);
    const size_t length = utf8Length(part, i);
    const bool unheld = length == 0 || byte < 0x20 || byte == 0x7F ||
                        kUnheld.find(static_cast<char>(byte)) != std::string_view::npos ||
                        (i == 0 && device) || i >= trailing;
    if (unheld) {
      appendEscaped(out, byte);
      ++i;
    } else {
      out->append(part.substr(i, length));
      i += length;
    }
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The parts of a path, empty and "." parts left out.
std::vector<std::string_view> pathParts(std::string_view path) {
  std::vector<std::string_view> parts;
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

}  // namespace

std::string fileNameFor(std::string_view discName, const io::NameRules& rules) {
  if (!rules.windows) return std::string(discName);
  std::string out;
  for (size_t start = 0;;) {
    const size_t slash = discName.find('/', start);
    appendPart(&out, discName.substr(start, slash - start));
    if (slash == std::string_view::npos) return out;
    out += '/';
    start = slash + 1;
  }
}

std::optional<std::string> discNameFor(std::string_view fileName, const io::NameRules& rules) {
  if (!rules.windows) return std::string(fileName);
  std::string disc;
  for (size_t i = 0; i < fileName.size(); ++i) {
    if (fileName[i] != '%') {
      disc += fileName[i];
      continue;
    }
    const int high = i + 2 < fileName.size() ? hexValue(fileName[i + 1]) : -1;
    const int low = high >= 0 ? hexValue(fileName[i + 2]) : -1;
    if (low < 0) return std::nullopt;
    disc += static_cast<char>(high * 16 + low);
    i += 2;
  }
  // Only the one spelling the mapping writes gives its disc name back.
  if (fileNameFor(disc, rules) != fileName) return std::nullopt;
  return disc;
}

std::optional<std::string> CaseTwins::record(std::string_view discName) {
  if (rules_.foldCase == nullptr) return std::nullopt;
  const std::string fileName = fileNameFor(discName, rules_);
  std::vector<std::pair<std::string, std::string>> unseen;  // folded prefix, as written
  std::string prefix;
  for (std::string_view part : pathParts(fileName)) {
    if (!prefix.empty()) prefix += '/';
    prefix += part;
    std::string folded = rules_.foldCase(prefix);
    const auto known = byFolded_.find(folded);
    if (known == byFolded_.end()) {
      unseen.emplace_back(std::move(folded), prefix);
    } else if (known->second.fileName != prefix) {
      return known->second.discName;
    }
  }
  for (auto& [folded, written] : unseen)
    byFolded_.emplace(std::move(folded), Spelling{std::move(written), std::string(discName)});
  return std::nullopt;
}

}  // namespace orvex
