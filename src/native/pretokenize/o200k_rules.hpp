#pragma once

// Sub-matchers of the o200k_base splitter: case-aware words and punctuation runs that
// also take trailing slashes.
//
// Words are built from two overlapping character sets:
//   upper set: Lu, Lt, Lm, Lo and marks (Mn, Mc, Me)
//   lower set: Ll, Lm, Lo and marks
// A word is an optional leading character (anything but CR, LF, a letter or a number),
// then upper-set characters, then lower-set characters, then an optional contraction.

#include <cstdint>

#include "pretokenize/char_tests.hpp"
#include "pretokenize/contraction.hpp"
#include "pretokenize/piece.hpp"
#include "pretokenize/split_mode.hpp"
#include "pretokenize/unicode.hpp"

namespace tessel {

inline constexpr uint32_t category_bit(GeneralCategory c) {
  return 1u << static_cast<uint32_t>(c);
}

inline constexpr uint32_t kMarkBits = category_bit(GeneralCategory::Mc) |
                                      category_bit(GeneralCategory::Me) |
                                      category_bit(GeneralCategory::Mn);
// Characters in both sets.
inline constexpr uint32_t kBothCaseSetBits =
    category_bit(GeneralCategory::Lm) | category_bit(GeneralCategory::Lo) | kMarkBits;
inline constexpr uint32_t kUpperSetBits =
    category_bit(GeneralCategory::Lu) | category_bit(GeneralCategory::Lt) | kBothCaseSetBits;
inline constexpr uint32_t kLowerSetBits = category_bit(GeneralCategory::Ll) | kBothCaseSetBits;

inline uint32_t category_bit_of(uint32_t cp) { return category_bit(unicode_category(cp)); }

// Where the word part starts: after c0 when c0 is a leading character, else at c0.
inline const uint8_t* word_part_start(const uint8_t* p, const uint8_t* end, bool* led,
                                      uint32_t* c0_out) {
  int32_t n;
  const uint32_t c0 = decode_utf8_char(p, end, &n);
  *c0_out = c0;
  *led = is_word_leader(c0);
  return *led ? p + n : p;
}

// Words that end in a lower-set character. Upper-set characters are taken first; the word
// then ends after the lower-set run that follows them. When no lower-set character
// follows, the word ends after the last character of the upper run that is also in the
// lower set (Lm, Lo or a mark), so "中文ABC" gives 中文 | ABC. When there is none, a
// leading mark is the word by itself (a backtracking engine gives up the optional leader
// and reads the mark as the lower-set run); classic mode allows that only when capitals
// follow the mark, and otherwise the rule fails. A contraction directly after the word
// is part of it.
template <SplitMode kMode>
inline bool match_word_lower(const uint8_t* text, uint64_t length, uint64_t position,
                             Piece* out) {
  if (position >= length) return false;
  const uint8_t* const end = text + length;
  const uint8_t* const p = text + position;
  bool led;
  uint32_t c0;
  const uint8_t* const s = word_part_start(p, end, &led, &c0);

  const uint8_t* q = s;
  const uint8_t* last_both_end = nullptr;
  uint32_t bit = 0;
  int32_t n = 0;
  while (q < end) {
    bit = category_bit_of(decode_utf8_char(q, end, &n));
    if (!(bit & kUpperSetBits)) break;
    q += n;
    if (bit & kBothCaseSetBits) last_both_end = q;
  }

  const uint8_t* e;
  if (q < end && (bit & kLowerSetBits)) {
    // An Ll character ends the upper run; the lower-set run starts with it.
    q += n;
    while (q < end) {
      if (!(category_bit_of(decode_utf8_char(q, end, &n)) & kLowerSetBits)) break;
      q += n;
    }
    e = q;
  } else if (last_both_end != nullptr) {
    e = last_both_end;
  } else if (led && (kMode == SplitMode::exact || q > s) && is_mark(c0)) {
    e = s;
  } else {
    return false;
  }
  e += contraction_length<kMode>(e, end);
  return fill_piece(out, position, static_cast<uint64_t>(e - text));
}

// Words that start with upper-set characters: the upper run, then any lower-set run,
// then an optional contraction.
template <SplitMode kMode>
inline bool match_word_upper(const uint8_t* text, uint64_t length, uint64_t position,
                             Piece* out) {
  if (position >= length) return false;
  const uint8_t* const end = text + length;
  const uint8_t* const p = text + position;
  bool led;
  uint32_t c0;
  const uint8_t* const s = word_part_start(p, end, &led, &c0);
  if (s >= end) return false;

  const uint8_t* q = s;
  int32_t n;
  while (q < end) {
    if (!(category_bit_of(decode_utf8_char(q, end, &n)) & kUpperSetBits)) break;
    q += n;
  }
  if (q == s) return false;
  while (q < end) {
    if (!(category_bit_of(decode_utf8_char(q, end, &n)) & kLowerSetBits)) break;
    q += n;
  }
  q += contraction_length<kMode>(q, end);
  return fill_piece(out, position, static_cast<uint64_t>(q - text));
}

}  // namespace tessel
