#include <cstdio>
#include <unordered_map>

#include "names.h"
#include "pack.h"

namespace orvex {

void checkPackNames(const std::vector<SourceFile>& files, Problems* problems) {
  std::unordered_map<uint32_t, std::string> byHash;
  // The extractor reads whatever these names resolve to as name lists, so no
  // packed file may share a hash with one of them.
  for (const std::string& listName : nameListNames()) byHash.emplace(hashName(listName), listName);
  for (const SourceFile& f : files) {
    if (f.name == NAME_LIST_NAME) {
      problems->add(f.name, "name is reserved for the packed name list");
      continue;
    }
    if (f.name.size() > MAX_NAME_LENGTH)
      problems->add(f.name, "name is longer than " + std::to_string(MAX_NAME_LENGTH) + " bytes");
    const auto [it, added] = byHash.emplace(hashName(f.name), f.name);
    if (!added) {
      char hash[16];
      std::snprintf(hash, sizeof hash, "0x%08X", it->first);
      const bool isListName = f.name == it->second;
      problems->add(f.name, isListName ? "name is read by the extractor as a name list"
                                       : "name has the same hash (" + std::string(hash) + ") as " +
                                             it->second);
    }
  }
}

}  // namespace orvex
