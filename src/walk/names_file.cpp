#include "names_file.h"

#include <cstdio>
#include <optional>

#include "number_text.h"

namespace orvex {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of an escaped name, or a reason it is none.
bool unescape(std::string_view text, std::string* name, std::string* why) {
  name->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *name += text[i];
      continue;
    }
    if (i + 1 >= text.size()) return (*why = "a '\\' at the end of the line", false);
    const char next = text[++i];
    if (next == 'n') {
      *name += '\n';
    } else if (next == '\\') {
      *name += '\\';
    } else if (next == 'x' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      *name += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      return (*why = std::string("an unknown escape '\\") + next + "'", false);
    }
  }
  return true;
}

}  // namespace

void decodeNamesFile(std::string_view text, const std::string& source,
                     std::vector<GivenName>* names, Problems* problems) {
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const std::string where = source + ":" + std::to_string(number);
    GivenName given{"", std::nullopt, where};
    const size_t tab = line.rfind("\t#");
    if (tab != std::string_view::npos) {
      const std::string_view digits = line.substr(tab + 2);
      const std::optional<uint64_t> position = parseNumber(digits, UINT32_MAX);
      if (!position) {
        problems->add(where, "the position after the tab is not a number");
        continue;
      }
      given.position = static_cast<uint32_t>(*position);
      line = line.substr(0, tab);
    }
    std::string why;
    if (!unescape(line, &given.name, &why)) {
      problems->add(where, why);
      continue;
    }
    if (given.name.empty()) {
      problems->add(where, "an empty name");
      continue;
    }
    names->push_back(std::move(given));
  }
}

std::string encodeNameLine(std::string_view name, std::optional<uint32_t> position) {
  std::string line;
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\\') {
      line += "\\\\";
    } else if (c < 0x20 || c >= 0x7F || (i == 0 && c == '#')) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      line += escape;
    } else {
      line += static_cast<char>(c);
    }
  }
  if (position) line += "\t#" + std::to_string(*position);
  return line;
}

}  // namespace orvex
