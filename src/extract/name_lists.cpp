#include <cstring>

#include "coding.h"
#include "extract.h"

namespace orvex {
namespace {

constexpr size_t kListHeaderSize = 32;
constexpr size_t kSlotSize = 32;

const char* const kArchivePrefixes[] = {"al", "aw", "dc", "dh", "di", "ew", "he", "lm",
                                        "nm", "pc", "pi", "po", "pp", "tw", "tz", "zz"};

}  // namespace

bool parseNameList(const uint8_t* data, size_t length, std::vector<std::string_view>* names,
                   std::string* warning) {
  names->clear();
  warning->clear();
  if (length < kListHeaderSize) {
    *warning = "name list shorter than its 32-byte header, skipped";
    return false;
  }
  const uint64_t start = decodeFixed32(data + 24);
  const uint64_t end = decodeFixed32(data + 28);
  if (end > length) *warning = "name list runs past the end of the file; using the slots inside it";
  for (uint64_t p = start; p < end && p < length; p += kSlotSize) {
    const size_t room = static_cast<size_t>(std::min<uint64_t>(kSlotSize, length - p));
    const char* slot = reinterpret_cast<const char*>(data + p);
    const void* nul = std::memchr(slot, '\0', room);
    names->emplace_back(slot, nul ? static_cast<const char*>(nul) - slot : room);
  }
  return true;
}

void dumpNameList(Run& run, std::string_view listName) {
  // These two are never read as lists; a list may still name them as files.
  if (listName == "po07.ard" || listName == "po32.ard") return;
  const ReadResult list = readFile(run.store, listName);
  markReached(run, list.position);
  if (list.status == ReadStatus::kNotFound) return;
  if (list.status == ReadStatus::kDamaged) {
    warn(run, listName, list.why + ", not read as a name list");
    return;
  }
  std::vector<std::string_view> names;
  std::string warning;
  const bool usable = parseNameList(list.data.data(), list.data.size(), &names, &warning);
  if (!warning.empty()) warn(run, listName, warning);
  if (!usable) return;
  for (std::string_view name : names) dumpFile(run, name);
}

const std::vector<std::string>& nameListNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all = {"menu.ard"};
    for (const char* prefix : kArchivePrefixes) {
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

void dumpAllNameLists(Run& run) {
  std::fputs("Loading name table\n", run.out);
  std::fputs("Start of dump...\n", run.out);
  for (const std::string& listName : nameListNames()) dumpNameList(run, listName);
}

}  // namespace orvex
