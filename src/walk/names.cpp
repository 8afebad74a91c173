#include "names.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "number_text.h"

namespace orvex {
namespace {

const char* const kListPrefixes[] = {"al", "aw", "dc", "dh", "di", "ew", "he", "lm",
                                     "nm", "pc", "pi", "po", "pp", "tw", "tz", "zz"};

}  // namespace

const std::vector<std::string>& nameListNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all = {"menu.ard"};
    for (const char* prefix : kListPrefixes) {
      for (int i = 0; i < 100; ++i) {
        char listName[16];
        std::snprintf(listName, sizeof listName, "%s%02d.ard", prefix, i);
        all.emplace_back(listName);
      }
    }
    return all;
  }();
  return names;
}

bool isSkippedList(std::string_view listName) {
  return listName == "po07.ard" || listName == "po32.ard";
}

bool isUnsafeName(std::string_view name) {
  if (!name.empty() && name.front() == '/') return true;
  size_t start = 0;
  for (;;) {
    const size_t slash = name.find('/', start);
    if (name.substr(start, slash - start) == "..") return true;
    if (slash == std::string_view::npos) return false;
    start = slash + 1;
  }
}

std::optional<std::string> pieceDirectory(std::string_view eventName) {
  const size_t dot = eventName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view dir = eventName.substr(0, dot);
  if (isUnsafeName(dir)) return std::nullopt;
  return std::string(dir);
}

std::string piecePath(const std::string& dir, size_t i) {
  char number[32];
  std::snprintf(number, sizeof number, "/%03zu.mset", i);
  return dir + number;
}

bool parsePiecePath(const std::string& name, std::string* dir, size_t* number) {
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos || slash == 0) return false;
  const std::string leaf = name.substr(slash + 1);
  constexpr std::string_view kSuffix = ".mset";
  if (leaf.size() <= kSuffix.size() || !leaf.ends_with(kSuffix)) return false;
  const std::string digits = leaf.substr(0, leaf.size() - kSuffix.size());
  const std::optional<uint64_t> parsed = parseNumber(digits, 999'999'999);
  if (!parsed) return false;
  *dir = name.substr(0, slash);
  *number = static_cast<size_t>(*parsed);
  return piecePath(*dir, *number) == name;
}

std::string unnamedFileName(uint32_t hash, uint32_t earlierWithHash) {
  char name[32];
  if (earlierWithHash == 0) {
    std::snprintf(name, sizeof name, "%08X.bin", hash);
  } else {
    std::snprintf(name, sizeof name, "%08X-%u.bin", hash, earlierWithHash);
  }
  return name;
}

bool isEventTableName(std::string_view name) {
  const size_t slash = name.rfind('/');
  if (name.substr(slash + 1) != EVENTS_TABLE_NAME) return false;
  if (slash == std::string_view::npos) return true;
  for (size_t start = 0; start <= slash;) {
    const size_t end = name.find('/', start);
    const std::string_view part = name.substr(start, end - start);
    if (!part.empty() && part != ".") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace orvex
