#pragma once

// The ASCII fast path of the splitters. A piece that starts with an ASCII byte is decided
// from a 256-entry byte-class table, without decoding characters or reading the Unicode
// table, as long as every byte the decision depends on is ASCII. When the decision needs
// a byte at or above 0x80 (a letter run that meets one, say) the fast path declines and
// the full rules split the piece from its start. Either way the piece is the one the full
// rules give.
//
// A declined piece is scanned twice, once here up to the first non-ASCII byte and once
// by the full rules, never more: the full rules' piece always covers the ASCII bytes the
// fast path read before declining, so splitting stays linear.
//
// Measured on the 2-core machine, 4 MiB corpora, `bench_splitters` (full rules and fast
// path interleaved in one process, medians; the machine was loaded, so ratios only):
// splitting 1.50-1.82x faster on English prose and 1.58-1.86x on Python code, both
// encodings and modes; CJK text unchanged (0.96-1.14x). Instruction counts (callgrind,
// splitting 300 KB of prose and 1 MB of code) fall 1.9-2.2x and 2.0-2.5x. The pipeline
// (tokenizer_encode, same bench) gained 4-22% on prose and code, within the noise of
// that machine. Single 1 MiB and 4 MiB pieces cost the same instructions per byte.

#include <cstdint>

#include "pretokenize/ascii_byte_classes.hpp"
#include "pretokenize/char_tests.hpp"
#include "pretokenize/contraction.hpp"
#include "pretokenize/piece.hpp"
#include "pretokenize/split_mode.hpp"

namespace tessel {

namespace ascii {

// Whether the run that stopped at q needs the full rules to know where it really ends.
inline bool stopped_at_non_ascii(const uint8_t* q, const uint8_t* end) {
  return q < end && (kByteClass[*q] & kNonAscii);
}

// Words of the rules from s (an ASCII letter), for the piece that starts at p. cl100k:
// the letter run. o200k: capitals, then small letters, then a contraction; no ASCII byte
// is in both case sets, so a capital run followed by no small letter is the word alone.
// Returns false when a non-ASCII byte could extend the word.
template <SplitRules kRules, SplitMode kMode>
inline bool word(const uint8_t* text, const uint8_t* p, const uint8_t* s, const uint8_t* end,
                 Piece* out) {
  const uint8_t* q;
  if constexpr (kRules == SplitRules::cl100k) {
    q = run_end<kLetter>(s, end);
    if (stopped_at_non_ascii(q, end)) return false;
  } else {
    q = run_end<kUpper>(s, end);
    if (stopped_at_non_ascii(q, end)) return false;
    q = run_end<kLower>(q, end);
    if (stopped_at_non_ascii(q, end)) return false;
    q += contraction_length<kMode>(q, end);
  }
  return fill_piece(out, static_cast<uint64_t>(p - text), static_cast<uint64_t>(q - text));
}

// The whitespace rules over a run of ASCII whitespace at p (see match_whitespace).
template <SplitMode kMode>
inline bool whitespace(const uint8_t* text, const uint8_t* p, const uint8_t* end, Piece* out) {
  const uint64_t position = static_cast<uint64_t>(p - text);
  const uint8_t* q = p;
  const uint8_t* after_line_break = nullptr;
  if constexpr (kMode == SplitMode::classic) {
    q = run_end<kSpace, kLineBreak>(q, end);
    if (q < end && (kByteClass[*q] & kLineBreak)) {
      q = run_end<kLineBreak>(q, end);
      return fill_piece(out, position, static_cast<uint64_t>(q - text));
    }
  } else {
    for (; q < end && (kByteClass[*q] & kSpace); ++q) {
      if (kByteClass[*q] & kLineBreak) after_line_break = q + 1;
    }
  }
  if (stopped_at_non_ascii(q, end)) return false;
  if (after_line_break != nullptr) {
    return fill_piece(out, position, static_cast<uint64_t>(after_line_break - text));
  }
  // The run ends at the end of the text or before ASCII text: all of it, or all but its
  // last byte when the run is longer than one byte and that byte starts the next piece.
  fill_piece(out, position, static_cast<uint64_t>(q - text));
  if (q != end && q - p > 1) {
    out->drop_last_char = 1;
    out->last_char_start = static_cast<uint64_t>(q - 1 - text);
  }
  return true;
}

}  // namespace ascii

// Splits the piece at position (< length) when its first byte is ASCII and no decision
// needs a non-ASCII byte; returns false, writing nothing, otherwise.
template <SplitRules kRules, SplitMode kMode>
inline bool split_ascii(const uint8_t* text, uint64_t length, uint64_t position, Piece* out) {
  using namespace ascii;
  const uint8_t* const end = text + length;
  const uint8_t* const p = text + position;
  const uint8_t c0 = kByteClass[*p];
  if (c0 & kNonAscii) return false;

  if constexpr (kRules == SplitRules::cl100k) {
    if (*p == '\'') {
      if (const uint64_t n = contraction_length<kMode>(p, end); n > 0) {
        return fill_piece(out, position, position + n);
      }
    }
  }
  if (c0 & kLetter) return word<kRules, kMode>(text, p, p, end, out);
  if (c0 & kDigit) {
    // At most three digits; a shorter run that meets a non-ASCII byte may go on with a
    // Number character such as U+00B2.
    const uint8_t* const limit = end - p > 3 ? p + 3 : end;
    const uint8_t* q = p + 1;
    while (q < limit && (kByteClass[*q] & kDigit)) ++q;
    if (q < limit && (kByteClass[*q] & kNonAscii)) return false;
    return fill_piece(out, position, static_cast<uint64_t>(q - text));
  }
  // c0 leads a word when a letter follows it, unless it is CR or LF.
  const uint8_t c1 = p + 1 < end ? kByteClass[p[1]] : 0;
  if (!(c0 & kLineBreak)) {
    if (c1 & kNonAscii) return false;
    if (c1 & kLetter) return word<kRules, kMode>(text, p, p + 1, end, out);
  }
  // Punctuation, optionally led by a space, then CR and LF (and for o200k '/') bytes.
  const uint8_t* run = (*p == ' ' && (c1 & kOther)) ? p + 1 : p;
  if (kByteClass[*run] & kOther) {
    const uint8_t* q = run_end<kOther>(run, end);
    if (stopped_at_non_ascii(q, end)) return false;
    while (q < end && (is_cr_or_lf_byte(*q) || (kRules == SplitRules::o200k && *q == '/'))) ++q;
    return fill_piece(out, position, static_cast<uint64_t>(q - text));
  }
  return whitespace<kMode>(text, p, end, out);
}

}  // namespace tessel
