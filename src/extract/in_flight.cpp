#include "in_flight.h"

#include <algorithm>

namespace orvex {
namespace {

// Every folder above a key: "a/b/c" gives "a" and "a/b".
template <typename Visit>
void forEachAncestor(const std::string& key, Visit visit) {
  for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1))
    visit(key.substr(0, slash));
}

}  // namespace

std::string pathKey(std::string_view name) {
  std::string key;
  size_t start = 0;
  while (start <= name.size()) {
    const size_t slash = std::min(name.find('/', start), name.size());
    const std::string_view part = name.substr(start, slash - start);
    if (!part.empty() && part != ".") {
      if (!key.empty()) key += '/';
      key.append(part);
    }
    start = slash + 1;
  }
  return key;
}

bool InFlight::conflicts(const std::string& key) const {
  if (files_.contains(key) || folders_.contains(key)) return true;
  bool found = false;
  forEachAncestor(key,
                  [&](const std::string& folder) { found = found || files_.contains(folder); });
  return found;
}

void InFlight::track(const std::string& key, int delta) {
  auto adjust = [delta](std::unordered_map<std::string, int>& counts, const std::string& k) {
    if ((counts[k] += delta) == 0) counts.erase(k);
  };
  adjust(files_, key);
  forEachAncestor(key, [&](const std::string& folder) { adjust(folders_, folder); });
}

}  // namespace orvex
