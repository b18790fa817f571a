#pragma once

// Sub-matchers used by both splitters: digit runs and whitespace. Each is a PieceSplitter
// that fills out and returns true when its rule matches at position, and returns false
// (writing nothing) when it does not or when position >= length.

#include <cstdint>

#include "pretokenize/char_tests.hpp"
#include "pretokenize/piece.hpp"
#include "pretokenize/split_mode.hpp"
#include "pretokenize/unicode.hpp"

namespace tessel {

// One to three Number characters (Nd, Nl or No); longer runs are cut from the left.
inline bool match_digits(const uint8_t* text, uint64_t length, uint64_t position, Piece* out) {
  if (position >= length) return false;
  const uint8_t* const end = text + length;
  const uint8_t* q = text + position;
  for (int taken = 0; taken < 3 && q < end; ++taken) {
    int32_t n;
    if (!is_number(decode_utf8_char(q, end, &n))) break;
    q += n;
  }
  if (q == text + position) return false;
  return fill_piece(out, position, static_cast<uint64_t>(q - text));
}

// The whitespace rules, in one scan of the whitespace run W at position:
//  1. W holds a line break: in classic mode the piece ends after W's first line break
//     (CR or LF, also an overlong one, taken whole) and the CR and LF bytes after it; in
//     exact mode after W's last line break, where a backtracking `\s*[\r\n]+` stops.
//  2. W runs to the end of the text: all of W.
//  3. W has two or more characters: W with drop_last_char set, so the consumer cuts W's
//     last character and starts the next piece with it.
//  4. W is one character: W.
// The classic scan stops at the first line break, so a piece costs only its own bytes;
// the exact scan reads W once, and what follows W's last line break holds no line break.
template <SplitMode kMode>
inline bool match_whitespace(const uint8_t* text, uint64_t length, uint64_t position,
                             Piece* out) {
  if (position >= length) return false;
  const uint8_t* const end = text + length;
  const uint8_t* const p = text + position;
  const uint8_t* q = p;
  const uint8_t* last = p;
  const uint8_t* after_line_break = nullptr;
  while (q < end) {
    int32_t n;
    const uint32_t cp = decode_utf8_char(q, end, &n);
    if (!is_whitespace<kMode>(cp)) break;
    last = q;
    q += n;
    if (is_line_break(cp)) {
      if constexpr (kMode == SplitMode::classic) {
        while (q < end && is_cr_or_lf_byte(*q)) ++q;
        return fill_piece(out, position, static_cast<uint64_t>(q - text));
      }
      after_line_break = q;
    }
  }
  if (after_line_break != nullptr) {
    return fill_piece(out, position, static_cast<uint64_t>(after_line_break - text));
  }
  if (q == p) return false;
  fill_piece(out, position, static_cast<uint64_t>(q - text));
  if (q != end && last != p) {
    out->drop_last_char = 1;
    out->last_char_start = static_cast<uint64_t>(last - text);
  }
  return true;
}

}  // namespace tessel
