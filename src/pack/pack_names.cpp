#include <cstdio>
#include <unordered_map>

#include "extract.h"
#include "pack.h"

namespace orvex {

bool checkPackNames(const std::vector<SourceFile>& files, std::vector<std::string>* problems) {
  const size_t before = problems->size();
  std::unordered_map<uint32_t, std::string> byHash;
  // The extractor reads whatever these names resolve to as name lists, so no
  // packed file may share a hash with one of them.
  for (const std::string& listName : nameListNames()) byHash.emplace(hashName(listName), listName);
  for (const SourceFile& f : files) {
    if (f.name == NAME_LIST_NAME) {
      problems->push_back(f.name + ": name is reserved for the packed name list");
      continue;
    }
    if (f.name.size() > MAX_NAME_LENGTH)
      problems->push_back(f.name + ": name is longer than " + std::to_string(MAX_NAME_LENGTH) +
                          " bytes");
    const auto [it, added] = byHash.emplace(hashName(f.name), f.name);
    if (!added) {
      char hash[16];
      std::snprintf(hash, sizeof hash, "0x%08X", it->first);
      const bool isListName = f.name == it->second;
      problems->push_back(isListName ? f.name + ": name is read by the extractor as a name list"
                                     : f.name + ": name has the same hash (" + hash + ") as " +
                                           it->second);
    }
  }
  return problems->size() == before;
}

}  // namespace orvex
