#pragma once

// Per-character tests shared by the splitting rules, and the helper that fills a Piece.

#include <cstdint>

#include "pretokenize/piece.hpp"
#include "pretokenize/split_mode.hpp"
#include "pretokenize/unicode.hpp"

namespace tessel {

inline bool is_number(uint32_t cp) { return char_class(cp) == CharClass::Number; }
inline bool is_mark(uint32_t cp) { return char_class(cp) == CharClass::Mark; }

inline bool is_letter_or_number(uint32_t cp) {
  const CharClass c = char_class(cp);
  return c == CharClass::Letter || c == CharClass::Number;
}

// Whitespace as the mode reads it: the White_Space property, plus U+180E in classic mode.
template <SplitMode kMode>
inline bool is_whitespace(uint32_t cp) {
  if constexpr (kMode == SplitMode::exact) {
    if (cp == 0x180E) return false;
  }
  return is_unicode_whitespace(cp);
}

// A line break as decoded: U+000A or U+000D (also when written in an overlong form).
inline bool is_line_break(uint32_t cp) { return cp == 0x0A || cp == 0x0D; }

// The raw bytes that extend a line-break run or a punctuation run's tail.
inline bool is_cr_or_lf_byte(uint8_t b) { return b == 0x0A || b == 0x0D; }

// A character that may lead a word: anything but CR, LF, a letter or a number.
inline bool is_word_leader(uint32_t cp) { return !is_line_break(cp) && !is_letter_or_number(cp); }

// A character of a punctuation run: neither whitespace, a letter nor a number.
template <SplitMode kMode>
inline bool is_punctuation_like(uint32_t cp) {
  return !is_whitespace<kMode>(cp) && !is_letter_or_number(cp);
}

inline bool fill_piece(Piece* out, uint64_t start, uint64_t end) {
  out->start = start;
  out->end = end;
  out->drop_last_char = 0;
  out->last_char_start = end;
  return true;
}

}  // namespace tessel
