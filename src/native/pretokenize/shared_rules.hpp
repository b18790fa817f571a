#pragma once

// Sub-matchers used by both splitters: digit runs, line breaks and whitespace. Each is a
// PieceSplitter that fills out and returns true when its rule matches at position, and
// returns false (writing nothing) when it does not or when position >= length.

#include <cstdint>

#include "pretokenize/char_tests.hpp"
#include "pretokenize/piece.hpp"
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

// Whitespace up to and including the first run of line breaks: any whitespace, then one
// CR or LF character (also an overlong one, taken whole), then the CR and LF bytes after
// it. Whitespace after that run belongs to the next piece.
inline bool match_newlines(const uint8_t* text, uint64_t length, uint64_t position,
                           Piece* out) {
  if (position >= length) return false;
  const uint8_t* const end = text + length;
  const uint8_t* q = text + position;
  while (q < end) {
    int32_t n;
    const uint32_t cp = decode_utf8_char(q, end, &n);
    if (is_line_break(cp)) {
      q += n;
      while (q < end && is_cr_or_lf_byte(*q)) ++q;
      return fill_piece(out, position, static_cast<uint64_t>(q - text));
    }
    if (!is_unicode_whitespace(cp)) return false;
    q += n;
  }
  return false;
}

// The whitespace run that starts at p: where it ends, and where its last character
// starts (p itself when the run is empty or one character long).
struct WhitespaceRun {
  const uint8_t* end;
  const uint8_t* last;
};
inline WhitespaceRun scan_whitespace(const uint8_t* p, const uint8_t* end) {
  WhitespaceRun run{p, p};
  while (run.end < end) {
    int32_t n;
    if (!is_unicode_whitespace(decode_utf8_char(run.end, end, &n))) break;
    run.last = run.end;
    run.end += n;
  }
  return run;
}

// Whitespace that runs to the end of the text: one piece.
inline bool match_trailing_whitespace(const uint8_t* text, uint64_t length, uint64_t position,
                                      Piece* out) {
  if (position >= length) return false;
  if (scan_whitespace(text + position, text + length).end != text + length) return false;
  return fill_piece(out, position, length);
}

// A run of two or more whitespace characters followed by something else. The piece is the
// whole run with drop_last_char set: the consumer cuts the run's last character, which
// begins at last_char_start, and starts the next piece with it.
inline bool match_whitespace_before_text(const uint8_t* text, uint64_t length,
                                         uint64_t position, Piece* out) {
  if (position >= length) return false;
  const WhitespaceRun run = scan_whitespace(text + position, text + length);
  if (run.last == text + position) return false;  // empty, or a single character
  fill_piece(out, position, static_cast<uint64_t>(run.end - text), 1);
  out->drop_last_char = 1;
  out->last_char_start = static_cast<uint64_t>(run.last - text);
  return true;
}

// A whitespace run, taken whole (the last resort: in the splitters' order it only meets
// a single whitespace character followed by non-whitespace).
inline bool match_whitespace(const uint8_t* text, uint64_t length, uint64_t position,
                             Piece* out) {
  if (position >= length) return false;
  const WhitespaceRun run = scan_whitespace(text + position, text + length);
  if (run.end == text + position) return false;
  return fill_piece(out, position, static_cast<uint64_t>(run.end - text), 2);
}

}  // namespace tessel
