// The encoder for the backward stream that decompress() reads.
//
// The decoder produces the file from its last byte to its first, so the
// encoder works on the file reversed: there a match is an ordinary
// look-behind copy of up to 258 bytes from at most 255 bytes back. The
// parse (greedy with one step of lazy lookahead over a small hash chain) does
// not depend on the marker; the marker is chosen afterwards as the byte that
// needs the fewest escapes among those the in-place decoder can afford.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "store.h"

namespace orvex {
namespace {

constexpr size_t kMinMatch = 3;
constexpr size_t kMaxMatch = 258;
constexpr size_t kMaxDistance = 255;
constexpr int kMaxChain = 16;
// A match at least this long is taken without looking one byte ahead.
constexpr size_t kLazyBelow = 32;
constexpr int kHashBits = 15;

// A match in reversed coordinates: reversed bytes [position, position +
// length) repeat the bytes distance before them.
struct Match {
  uint32_t position;
  uint16_t length;
  uint8_t distance;
};

size_t commonLength(const uint8_t* a, const uint8_t* b, size_t limit) {
  size_t n = 0;
  while (n + 8 <= limit) {
    uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) {
      const uint64_t diff = x ^ y;
      const int bit = std::endian::native == std::endian::little ? std::countr_zero(diff)
                                                                 : std::countl_zero(diff);
      return n + static_cast<size_t>(bit) / 8;
    }
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// Finds the longest earlier repeat within kMaxDistance bytes. Positions are
// entered in the chains lazily, just before a search at a later position.
class MatchFinder {
 public:
  MatchFinder(const uint8_t* bytes, size_t length)
      : bytes_(bytes), length_(length), head_(size_t{1} << kHashBits, -1) {
    prev_.fill(-1);
  }

  // The longest match at pos; length 0 when none reaches kMinMatch.
  Match longestAt(size_t pos) {
    insertBefore(pos);
    Match best{static_cast<uint32_t>(pos), 0, 0};
    if (pos + kMinMatch > length_) return best;
    const size_t limit = std::min(kMaxMatch, length_ - pos);
    const uint8_t* here = bytes_ + pos;
    size_t bestLength = kMinMatch - 1;
    int32_t candidate = head_[hashAt(pos)];
    for (int chain = kMaxChain; candidate >= 0 && chain > 0; --chain) {
      const size_t distance = pos - static_cast<size_t>(candidate);
      if (distance > kMaxDistance) break;
      const uint8_t* there = bytes_ + candidate;
      if (there[bestLength] == here[bestLength]) {
        const size_t n = commonLength(there, here, limit);
        if (n > bestLength) {
          bestLength = n;
          best.length = static_cast<uint16_t>(n);
          best.distance = static_cast<uint8_t>(distance);
          if (n == limit) break;
        }
      }
      candidate = prev_[static_cast<size_t>(candidate) % prev_.size()];
    }
    return best;
  }

 private:
  uint32_t hashAt(size_t pos) const {
    const uint32_t v = static_cast<uint32_t>(bytes_[pos]) |
                       static_cast<uint32_t>(bytes_[pos + 1]) << 8 |
                       static_cast<uint32_t>(bytes_[pos + 2]) << 16;
    return (v * 2654435761u) >> (32 - kHashBits);
  }

  void insertBefore(size_t pos) {
    const size_t end = std::min(pos, length_ >= kMinMatch ? length_ - kMinMatch + 1 : 0);
    for (; inserted_ < end; ++inserted_) {
      int32_t& head = head_[hashAt(inserted_)];
      // prev_ is a ring one longer than the window: a slot is reused only
      // once its position can no longer be reached.
      prev_[inserted_ % prev_.size()] = head;
      head = static_cast<int32_t>(inserted_);
    }
  }

  const uint8_t* bytes_;
  size_t length_;
  size_t inserted_ = 0;
  std::vector<int32_t> head_;
  std::array<int32_t, kMaxDistance + 1> prev_;
};

// Greedy parse with one byte of lazy lookahead: a literal is emitted in
// front of a match when the match one byte later is longer.
std::vector<Match> parse(const uint8_t* reversed, size_t length) {
  std::vector<Match> matches;
  MatchFinder finder(reversed, length);
  size_t pos = 0;
  Match current = finder.longestAt(pos);
  while (pos < length) {
    if (current.length < kMinMatch) {
      current = finder.longestAt(++pos);
      continue;
    }
    if (current.length < kLazyBelow) {
      const Match next = finder.longestAt(pos + 1);
      if (next.length > current.length) {
        ++pos;
        current = next;
        continue;
      }
    }
    matches.push_back(current);
    pos += current.length;
    current = finder.longestAt(pos);
  }
  return matches;
}

// Calls literal(byte) and match(m) in the stream's ascending byte order,
// which is the order of the file itself and the reverse of the parse.
template <typename OnLiteral, typename OnMatch>
void walkAscending(const uint8_t* reversed, size_t length, const std::vector<Match>& matches,
                   OnLiteral literal, OnMatch match) {
  size_t end = length;
  for (size_t k = matches.size(); k-- > 0;) {
    const Match& m = matches[k];
    for (size_t p = end; p > m.position + m.length;) literal(reversed[--p]);
    match(m);
    end = m.position;
  }
  for (size_t p = end; p > 0;) literal(reversed[--p]);
}

// The in-place decoder overwrites the stream from the top as it reads it
// downwards, so in every run of tokens from byte 0 up the output must be at
// least as long as the tokens: escapes (two bytes for one) must be paid for
// by matches below them. Returns the usable marker needing fewest escapes.
bool chooseMarker(const uint8_t* reversed, size_t length, const std::vector<Match>& matches,
                  uint8_t* marker, size_t* escapes) {
  std::array<uint64_t, 256> count{};
  std::array<bool, 256> unaffordable{};
  uint64_t credit = 0;
  walkAscending(
      reversed, length, matches,
      [&](uint8_t c) {
        if (++count[c] > credit) unaffordable[c] = true;
      },
      [&](const Match& m) { credit += m.length - kMinMatch; });
  bool found = false;
  for (size_t c = 0; c < 256; ++c) {
    if (unaffordable[c] || (found && count[c] >= count[*marker])) continue;
    *marker = static_cast<uint8_t>(c);
    found = true;
  }
  if (found) *escapes = count[*marker];
  return found;
}

}  // namespace

bool compress(const uint8_t* data, size_t length, std::vector<uint8_t>* stream) {
  if (length > MAX_COMPRESSED_LENGTH) return false;
  const std::vector<uint8_t> reversed(std::make_reverse_iterator(data + length),
                                      std::make_reverse_iterator(data));
  const std::vector<Match> matches = parse(reversed.data(), length);

  uint8_t marker = 0;
  size_t escapes = 0;
  if (!chooseMarker(reversed.data(), length, matches, &marker, &escapes)) return false;

  size_t covered = 0;
  for (const Match& m : matches) covered += m.length;
  const size_t body = (length - covered) + escapes + kMinMatch * matches.size();
  if (body > length) return false;  // the marker choice already rules this out

  stream->clear();
  stream->reserve(body + 4);
  walkAscending(
      reversed.data(), length, matches,
      [&](uint8_t c) {
        if (c == marker) stream->push_back(0);
        stream->push_back(c);
      },
      [&](const Match& m) {
        stream->push_back(static_cast<uint8_t>(m.length - kMinMatch));
        stream->push_back(m.distance);
        stream->push_back(marker);
      });
  uint8_t trailer[STREAM_TRAILER_SIZE];
  encodeStreamTrailer({static_cast<uint32_t>(length), marker}, trailer);
  stream->insert(stream->end(), trailer, trailer + STREAM_TRAILER_SIZE);
  return true;
}

}  // namespace orvex
