#include <cstdio>
#include <unordered_map>

#include "pack.h"

namespace orvex {

bool checkPackNames(const std::vector<SourceFile>& files, std::string* error) {
  std::unordered_map<uint32_t, std::string> byHash;
  byHash.emplace(hashName(NAME_LIST_NAME), NAME_LIST_NAME);
  for (const SourceFile& f : files) {
    if (f.name == NAME_LIST_NAME) {
      *error = f.name + ": name is reserved for the packed name list";
      return false;
    }
    if (f.name.size() > MAX_NAME_LENGTH) {
      *error = f.name + ": name is longer than " + std::to_string(MAX_NAME_LENGTH) + " bytes";
      return false;
    }
    const auto [it, added] = byHash.emplace(hashName(f.name), f.name);
    if (!added) {
      char hash[16];
      std::snprintf(hash, sizeof hash, "0x%08X", it->first);
      *error = f.name + ": name has the same hash (" + hash + ") as " + it->second;
      return false;
    }
  }
  return true;
}

}  // namespace orvex
