// What name recovery reads from users and from hostile discs. The first
// byte picks the part:
//   0: the rest as a names file: every name read writes back as a line that
//      reads as the same name and tie.
//   1: the rest as a pattern: meeting in the middle finds exactly the names
//      hashing every name finds, for targets of names it gives and others.
//   2: the rest as a disc (the fuzz_whole_run layout): recovery never
//      crashes, and every candidate has its entry's hash and is plausible.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "disc_input.h"
#include "names_file.h"
#include "pattern.h"
#include "program.h"
#include "recover.h"
#include "sandbox.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void namesFile(std::string_view text) {
  std::vector<orvex::GivenName> names;
  orvex::Problems problems;
  orvex::decodeNamesFile(text, "input", &names, &problems);
  for (const orvex::GivenName& given : names) {
    std::vector<orvex::GivenName> again;
    orvex::decodeNamesFile(orvex::encodeNameLine(given.name, given.position), "line", &again,
                           &problems);
    require(again.size() == 1 && again[0].name == given.name &&
            again[0].position == given.position);
  }
}

void pattern(std::string_view text) {
  orvex::NamePattern parsed;
  if (text.size() > 64 || !orvex::parsePattern(text, "ab0_", &parsed).isOk()) return;
  if (parsed.expansions() > 20000) return;
  std::unordered_set<uint32_t> targets = {orvex::hashName(text), 0x4445};
  orvex::enumeratePattern(parsed, {}, [](const std::string&) {});
  // Some names it gives: the first choice of every place, and the last.
  std::string first, last;
  for (const auto& place : parsed.places) {
    if (place.empty()) return;
    first += place.front();
    last += place.back();
  }
  targets.insert(orvex::hashName(first));
  targets.insert(orvex::hashName(last));
  std::set<std::string> plain, met;
  orvex::enumeratePattern(parsed, targets, [&](const std::string& name) { plain.insert(name); });
  orvex::solvePattern(
      parsed, targets, [&](const std::string& name) { require(met.insert(name).second); }, 64);
  require(plain == met);
  require(plain.contains(first) && plain.contains(last));
}

void disc(const uint8_t* data, size_t size) {
  static orvex::fuzz::Sandbox sandbox;
  sandbox.resetWork();
  const orvex::fuzz::WholeRunInput input = orvex::fuzz::decodeWholeRunInput(data, size);
  orvex::testing::writeBytes(sandbox.root() + "/disc.img", input.disc.image);
  orvex::testing::writeBytes(sandbox.root() + "/disc.idx", input.disc.index);
  orvex::Store store;
  orvex::Problems oddities;
  if (!orvex::openStore(sandbox.root() + "/disc.img", sandbox.root() + "/disc.idx", &store,
                        &oddities, nullptr, orvex::io::realFs())
           .isOk())
    return;
  orvex::RecoverOptions options;
  orvex::NamePattern guess;
  require(orvex::parsePattern("[a-c]{1,3}", orvex::DEFAULT_ALPHABET, &guess).isOk());
  options.patterns.push_back(guess);
  const orvex::Recovery recovery = orvex::recoverNames(store, options);
  for (const orvex::UnreachedEntry& entry : recovery.entries)
    for (const orvex::Candidate& c : entry.candidates)
      require(orvex::hashName(c.name) == entry.hash && orvex::isPlausibleName(c.name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      namesFile(rest);
      break;
    case 1:
      pattern(rest);
      break;
    default:
      disc(data + 1, size - 1);
  }
  return 0;
}
