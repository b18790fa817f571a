#pragma once

// Sub-matchers of the cl100k_base splitter: words of letters and punctuation runs.

#include <cstdint>

#include "pretokenize/char_tests.hpp"
#include "pretokenize/piece.hpp"
#include "pretokenize/split_mode.hpp"
#include "pretokenize/unicode.hpp"

namespace tessel {

// Letters, optionally led by one character that is not CR, LF, a letter or a number
// (only when a letter follows it). Marks are not letters: a combining mark ends the word.
inline bool match_letters(const uint8_t* text, uint64_t length, uint64_t position,
                          Piece* out) {
  if (position >= length) return false;
  const uint8_t* const end = text + length;
  const uint8_t* const p = text + position;
  const uint64_t* const letters = bmp_letter_bits();
  int32_t n;
  const uint32_t c0 = decode_utf8_char(p, end, &n);
  const uint8_t* scan = p;
  if (is_word_leader(c0) && p + n < end) {
    int32_t n1;
    if (is_letter_in(letters, decode_utf8_char(p + n, end, &n1))) scan = p + n;
  }
  const uint8_t* q = scan;
  while (q < end) {
    if (!is_letter_in(letters, decode_utf8_char(q, end, &n))) break;
    q += n;
  }
  if (q == scan) return false;
  return fill_piece(out, position, static_cast<uint64_t>(q - text));
}

// A run of characters that are neither whitespace, letters nor numbers, optionally led
// by one space byte, then every CR or LF byte (and '/' when kSlashTail) that follows.
template <SplitMode kMode, bool kSlashTail>
inline bool match_punctuation(const uint8_t* text, uint64_t length, uint64_t position,
                              Piece* out) {
  if (position >= length) return false;
  const uint8_t* const end = text + length;
  const uint8_t* const p = text + position;
  const uint8_t* run = p;
  int32_t n;
  if (*p == ' ' && p + 1 < end &&
      is_punctuation_like<kMode>(decode_utf8_char(p + 1, end, &n))) {
    run = p + 1;
  }
  const uint8_t* q = run;
  while (q < end) {
    if (!is_punctuation_like<kMode>(decode_utf8_char(q, end, &n))) break;
    q += n;
  }
  if (q == run) return false;
  while (q < end && (is_cr_or_lf_byte(*q) || (kSlashTail && *q == '/'))) ++q;
  return fill_piece(out, position, static_cast<uint64_t>(q - text));
}

}  // namespace tessel
