#include "pattern.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>

#include "number_text.h"
#include "store.h"

namespace orvex {
namespace {

constexpr size_t kStarBytes = 8;

// hash(A + B) from hash(A), hash(B) and |B|.
uint32_t joinHash(uint32_t left, uint32_t right, size_t rightLength) {
  return (rightLength >= 32 ? 0 : left << rightLength) ^ right;
}

// The bytes a class gives, from inside its brackets.
Status parseClass(std::string_view body, std::string* bytes) {
  std::set<char> set;
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c == '\\' && i + 1 < body.size()) c = body[++i];
    if (i + 2 < body.size() && body[i + 1] == '-') {
      const char last = body[i + 2];
      if (last < c) return Status::invalid("a range that runs backwards in a class");
      for (int b = static_cast<unsigned char>(c); b <= static_cast<unsigned char>(last); ++b)
        set.insert(static_cast<char>(b));
      i += 2;
    } else {
      set.insert(c);
    }
  }
  if (set.empty()) return Status::invalid("an empty class");
  bytes->assign(set.begin(), set.end());
  return Status::ok();
}

std::vector<std::string> singles(std::string_view bytes) {
  std::vector<std::string> out;
  for (char c : bytes) out.emplace_back(1, c);
  return out;
}

}  // namespace

uint64_t NamePattern::expansions() const {
  uint64_t total = 1;
  for (const auto& place : places) {
    if (total > UINT64_MAX / std::max<size_t>(place.size(), 1)) return UINT64_MAX;
    total *= place.size();
  }
  return total;
}

size_t NamePattern::freeBytes() const {
  size_t free = 0;
  for (const auto& place : places) {
    if (place.size() < 2) continue;
    size_t longest = 0;
    for (const std::string& s : place) longest = std::max(longest, s.size());
    free += longest;
  }
  return free;
}

Status parsePattern(std::string_view text, std::string_view alphabet, NamePattern* pattern) {
  pattern->text = std::string(text);
  pattern->places.clear();
  auto& places = pattern->places;
  const std::vector<std::string> any = singles(alphabet);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    std::vector<std::string> place;
    bool repeatable = false;
    if (c == '\\') {
      if (i + 1 >= text.size()) return Status::invalid("a '\\' at the end");
      place = {std::string(1, text[++i])};
    } else if (c == '?') {
      place = any;
      repeatable = true;
    } else if (c == '*') {
      std::vector<std::string> optional = any;
      optional.emplace_back();
      for (size_t n = 0; n < kStarBytes; ++n) places.push_back(optional);
      continue;
    } else if (c == '[') {
      const size_t close = text.find(']', i + 1);
      if (close == std::string_view::npos) return Status::invalid("a '[' without ']'");
      std::string bytes;
      if (Status s = parseClass(text.substr(i + 1, close - i - 1), &bytes); !s.isOk()) return s;
      place = singles(bytes);
      repeatable = true;
      i = close;
    } else if (c == '{') {
      const size_t close = text.find('}', i + 1);
      if (close == std::string_view::npos) return Status::invalid("a '{' without '}'");
      const std::string_view body = text.substr(i + 1, close - i - 1);
      for (size_t start = 0; start <= body.size();) {
        const size_t comma = std::min(body.find(',', start), body.size());
        place.emplace_back(body.substr(start, comma - start));
        start = comma + 1;
      }
      i = close;
    } else if (c == ']' || c == '}') {
      return Status::invalid(std::string("a '") + c + "' without its opening");
    } else {
      place = {std::string(1, c)};
    }
    // A repetition: braces holding digits after a class or '?'.
    size_t low = 1, high = 1;
    if (repeatable && i + 1 < text.size() && text[i + 1] == '{') {
      const size_t close = text.find('}', i + 2);
      const std::string_view body =
          close == std::string_view::npos ? "" : text.substr(i + 2, close - i - 2);
      const bool digits =
          !body.empty() && body.find_first_not_of("0123456789,") == std::string_view::npos;
      if (digits) {
        const size_t comma = body.find(',');
        const std::string_view first = body.substr(0, comma);
        const std::string_view second =
            comma == std::string_view::npos ? first : body.substr(comma + 1);
        const auto count = [](std::string_view digits, size_t* value) {
          const std::optional<uint64_t> number = parseNumber(digits, 999);
          if (number) *value = static_cast<size_t>(*number);
          return number.has_value();
        };
        if (!count(first, &low) || !count(second, &high))
          return Status::invalid("a repetition that is not {n} or {n,m}");
        if (high < low || high > 64)
          return Status::invalid("a repetition from more to fewer, or over 64");
        i = close;
      }
    }
    for (size_t n = 0; n < low; ++n) places.push_back(place);
    std::vector<std::string> optional = place;
    optional.emplace_back();
    for (size_t n = low; n < high; ++n) places.push_back(optional);
  }
  return Status::ok();
}

namespace {

// Every name of places[from, to) with its hash, in order.
void forEachName(const std::vector<std::vector<std::string>>& places, size_t from, size_t to,
                 const std::function<void(const std::string&, uint32_t)>& visit) {
  std::string name;
  std::function<void(size_t, uint32_t)> step = [&](size_t at, uint32_t hash) {
    if (at == to) return visit(name, hash);
    for (const std::string& choice : places[at]) {
      name += choice;
      step(at + 1, joinHash(hash, hashName(choice), choice.size()));
      name.resize(name.size() - choice.size());
    }
  };
  step(from, 0);
}

}  // namespace

void enumeratePattern(const NamePattern& pattern, const std::unordered_set<uint32_t>& targets,
                      const std::function<void(const std::string&)>& found) {
  std::set<std::string> seen;
  forEachName(pattern.places, 0, pattern.places.size(), [&](const std::string& name, uint32_t) {
    if (targets.contains(hashName(name)) && seen.insert(name).second) found(name);
  });
}

void solvePattern(const NamePattern& pattern, const std::unordered_set<uint32_t>& targets,
                  const std::function<void(const std::string&)>& found, uint64_t tableLimit,
                  const std::function<void(uint64_t)>& tried) {
  const auto& places = pattern.places;
  // The second half: places from the end, until the table is about as large
  // as the lookups the first half then makes (the square root of the names
  // times the targets), and never larger than tableLimit.
  const double balance =
      std::sqrt(static_cast<double>(pattern.expansions()) * std::max<size_t>(targets.size(), 1));
  const uint64_t wanted = std::min<uint64_t>(
      tableLimit, std::max<uint64_t>(4096, static_cast<uint64_t>(std::min(balance, 1e18))));
  size_t split = places.size();
  uint64_t tableSize = 1;
  while (split > 0 && tableSize * places[split - 1].size() <= wanted)
    tableSize *= places[--split].size();
  // The table: the second half's names by their length, as (hash, name)
  // sorted by hash.
  std::vector<std::vector<std::pair<uint32_t, std::string>>> byLength;
  forEachName(places, split, places.size(), [&](const std::string& name, uint32_t hash) {
    if (byLength.size() <= name.size()) byLength.resize(name.size() + 1);
    byLength[name.size()].emplace_back(hash, name);
  });
  for (auto& table : byLength) std::sort(table.begin(), table.end());
  std::set<std::string> seen;  // optional bytes give some names more than once
  uint64_t leftDone = 0;
  const uint64_t reportEvery = std::max<uint64_t>(1, 4096 / std::max<size_t>(targets.size(), 1));
  forEachName(places, 0, split, [&](const std::string& left, uint32_t leftHash) {
    // Each name of the first half stands for the table's names, and costs a
    // lookup for each target: told about every few thousand lookups.
    if (tried && ++leftDone % reportEvery == 0)
      tried(leftDone > UINT64_MAX / tableSize ? UINT64_MAX : leftDone * tableSize);
    for (size_t length = 0; length < byLength.size(); ++length) {
      const auto& table = byLength[length];
      if (table.empty()) continue;
      const uint32_t shifted = joinHash(leftHash, 0, length);
      for (const uint32_t target : targets) {
        const uint32_t want = target ^ shifted;
        auto it = std::lower_bound(table.begin(), table.end(), std::make_pair(want, std::string()));
        for (; it != table.end() && it->first == want; ++it) {
          std::string name = left + it->second;
          if (seen.insert(name).second) found(name);
        }
      }
    }
  });
}

}  // namespace orvex
