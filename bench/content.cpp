#include "content.h"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "rng.h"

namespace orvex::bench {
namespace {

constexpr size_t kVocabularySize = 4096;
constexpr size_t kIdentifierCount = 600;

std::string makeWord(Rng& rng) {
  static const char* const kOnsets[] = {"b",  "c",  "d",  "f",  "g",  "h",  "k",  "l",
                                        "m",  "n",  "p",  "r",  "s",  "t",  "v",  "w",
                                        "st", "tr", "pl", "ch", "sh", "th", "gr", ""};
  static const char* const kVowels[] = {"a", "e", "i", "o", "u", "ea", "ou", "ai", "y"};
  static const char* const kCodas[] = {"", "", "", "n", "r", "s", "t", "l", "nd", "st", "ng"};
  std::string word;
  const uint64_t syllables = 1 + rng.below(3) + (rng.below(4) == 0 ? 1 : 0);
  for (uint64_t i = 0; i < syllables; ++i) {
    word += kOnsets[rng.below(std::size(kOnsets))];
    word += kVowels[rng.below(std::size(kVowels))];
    word += kCodas[rng.below(std::size(kCodas))];
  }
  return word;
}

// Words ranked by frequency, and a table that draws ranks so that the word
// of rank r comes up about 1/(r+1) as often as the first: natural text has
// that shape.
struct Vocabulary {
  std::vector<std::string> words;
  std::vector<std::string> identifiers;
  std::vector<uint16_t> rankTable;

  Vocabulary() {
    Rng rng{0x5EED0001};
    for (size_t i = 0; i < kVocabularySize; ++i) words.push_back(makeWord(rng));
    for (size_t i = 0; i < kIdentifierCount; ++i) {
      std::string id = words[rng.below(512)];
      if (rng.below(3) != 0) {
        std::string second = words[rng.below(1024)];
        if (rng.below(2) == 0) {
          second[0] = static_cast<char>(second[0] - 'a' + 'A');
          id += second;
        } else {
          id += "_" + second;
        }
      }
      identifiers.push_back(id);
    }
    rankTable.resize(1 << 16);
    for (size_t i = 0; i < rankTable.size(); ++i) {
      const double u = (static_cast<double>(i) + 0.5) / static_cast<double>(rankTable.size());
      const double rank = std::exp(u * std::log(static_cast<double>(kVocabularySize) + 1)) - 1;
      rankTable[i] = static_cast<uint16_t>(std::min<double>(rank, kVocabularySize - 1));
    }
  }

  const std::string& word(Rng& rng) const { return words[rankTable[rng.next() & 0xFFFF]]; }
  const std::string& identifier(Rng& rng) const {
    // Identifiers repeat more than words: a file uses a few of them a lot.
    return identifiers[rankTable[rng.next() & 0xFFFF] % identifiers.size()];
  }
};

const Vocabulary& vocabulary() {
  static const Vocabulary v;
  return v;
}

void append(std::vector<uint8_t>* out, std::string_view s) {
  out->insert(out->end(), s.begin(), s.end());
}

void makeText(Rng& rng, size_t length, std::vector<uint8_t>* out) {
  const Vocabulary& v = vocabulary();
  while (out->size() < length) {
    const uint64_t sentences = 3 + rng.below(6);
    for (uint64_t s = 0; s < sentences; ++s) {
      const uint64_t words = 5 + rng.below(16);
      for (uint64_t w = 0; w < words; ++w) {
        const std::string& word = v.word(rng);
        const size_t at = out->size();
        append(out, word);
        if (w == 0) (*out)[at] = static_cast<uint8_t>((*out)[at] - 'a' + 'A');
        if (w + 1 < words) append(out, rng.below(9) == 0 ? ", " : " ");
      }
      append(out, rng.below(8) == 0 ? "? " : ". ");
    }
    append(out, "\n\n");
  }
}

void makeCode(Rng& rng, size_t length, std::vector<uint8_t>* out) {
  static const char* const kTypes[] = {"int",   "uint32_t",    "size_t", "bool",
                                       "float", "const char*", "auto",   "double"};
  static const char* const kOps[] = {" < ", " > ", " == ", " != ", " <= ", " + ", " - ", " & "};
  const Vocabulary& v = vocabulary();
  int depth = 0;
  auto indent = [&] { out->insert(out->end(), static_cast<size_t>(depth) * 2, ' '); };
  auto number = [&] { append(out, std::to_string(rng.below(rng.below(4) == 0 ? 65536 : 16))); };
  while (out->size() < length) {
    if (depth == 0) {
      append(out, "\nstatic ");
      append(out, kTypes[rng.below(std::size(kTypes))]);
      append(out, " ");
      append(out, v.identifier(rng));
      append(out, "(");
      append(out, kTypes[rng.below(std::size(kTypes))]);
      append(out, " ");
      append(out, v.identifier(rng));
      append(out, ") {\n");
      depth = 1;
      continue;
    }
    indent();
    switch (rng.below(8)) {
      case 0:
        if (depth < 5) {
          append(out, "if (");
          append(out, v.identifier(rng));
          append(out, kOps[rng.below(std::size(kOps))]);
          number();
          append(out, ") {\n");
          ++depth;
          break;
        }
        [[fallthrough]];
      case 1:
        if (depth < 5) {
          append(out, "for (size_t i = 0; i < ");
          append(out, v.identifier(rng));
          append(out, ".size(); ++i) {\n");
          ++depth;
          break;
        }
        [[fallthrough]];
      case 2:
        append(out, "// ");
        for (uint64_t w = 3 + rng.below(8); w > 0; --w) {
          append(out, v.word(rng));
          append(out, w > 1 ? " " : "\n");
        }
        break;
      case 3:
        append(out, "const ");
        append(out, kTypes[rng.below(std::size(kTypes))]);
        append(out, " ");
        append(out, v.identifier(rng));
        append(out, " = ");
        number();
        append(out, ";\n");
        break;
      case 4:
        append(out, "return ");
        append(out, v.identifier(rng));
        append(out, ";\n");
        [[fallthrough]];
      case 5:
        --depth;
        if (depth > 0) indent();
        append(out, "}\n");
        break;
      default:
        append(out, v.identifier(rng));
        append(out, " = ");
        append(out, v.identifier(rng));
        append(out, "(");
        append(out, v.identifier(rng));
        append(out, ", ");
        number();
        append(out, ");\n");
        break;
    }
  }
}

// 48-byte records: a counter, a slowly rising time, a small type and flag
// set, three drifting floats, a name field, a hash-like word and padding.
void makeRecords(Rng& rng, size_t length, std::vector<uint8_t>* out) {
  const Vocabulary& v = vocabulary();
  uint32_t id = static_cast<uint32_t>(rng.below(100000));
  uint32_t time = static_cast<uint32_t>(rng.next());
  float xyz[3] = {0, 0, 0};
  while (out->size() < length) {
    uint8_t record[48] = {};
    time += static_cast<uint32_t>(rng.below(200));
    const uint16_t type = static_cast<uint16_t>(rng.below(8));
    const uint16_t flags = static_cast<uint16_t>(rng.below(4) == 0 ? 0x11 : 0x01);
    for (float& f : xyz) f += static_cast<float>(rng.below(2001)) / 1000.0f - 1.0f;
    const uint32_t check = static_cast<uint32_t>(rng.next());
    std::memcpy(record + 0, &id, 4);
    std::memcpy(record + 4, &time, 4);
    std::memcpy(record + 8, &type, 2);
    std::memcpy(record + 10, &flags, 2);
    std::memcpy(record + 12, xyz, 12);
    const std::string& name = v.word(rng);
    std::memcpy(record + 24, name.data(), std::min<size_t>(name.size(), 15));
    std::memcpy(record + 40, &check, 4);
    out->insert(out->end(), record, record + sizeof record);
    ++id;
  }
}

void makeRandom(Rng& rng, size_t length, std::vector<uint8_t>* out) {
  out->resize(length + 8);
  for (size_t i = 0; i < length; i += 8) {
    const uint64_t word = rng.next();
    std::memcpy(out->data() + i, &word, 8);
  }
}

}  // namespace

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::kText:
      return "text";
    case Kind::kCode:
      return "code";
    case Kind::kRecords:
      return "records";
    case Kind::kRandom:
      return "random";
  }
  return "?";
}

void makeContent(Kind kind, uint64_t seed, size_t length, std::vector<uint8_t>* out) {
  Rng rng{seed * 0x2545F4914F6CDD1Dull + static_cast<uint64_t>(kind)};
  out->clear();
  out->reserve(length + 512);
  switch (kind) {
    case Kind::kText:
      makeText(rng, length, out);
      break;
    case Kind::kCode:
      makeCode(rng, length, out);
      break;
    case Kind::kRecords:
      makeRecords(rng, length, out);
      break;
    case Kind::kRandom:
      makeRandom(rng, length, out);
      break;
  }
  out->resize(length);
}

}  // namespace orvex::bench
