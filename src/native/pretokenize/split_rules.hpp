#pragma once

// The two splitters as templates over the mode and over the ASCII fast path: the order in
// which each encoding tries its rules. First match wins.

#include <cstdint>

#include "pretokenize/ascii_fast_path.hpp"
#include "pretokenize/cl100k_rules.hpp"
#include "pretokenize/contraction.hpp"
#include "pretokenize/o200k_rules.hpp"
#include "pretokenize/piece.hpp"
#include "pretokenize/shared_rules.hpp"
#include "pretokenize/split_mode.hpp"

namespace tessel {

// Contractions at the start of a piece, letters, digits, punctuation, then the
// whitespace rules. Every character is whitespace, a letter, a number or none of these,
// so one of the rules always matches.
template <SplitMode kMode>
inline bool split_full_cl100k(const uint8_t* text, uint64_t length, uint64_t position,
                              Piece* out) {
  if (const uint64_t n = contraction_length<kMode>(text + position, text + length); n > 0) {
    return fill_piece(out, position, position + n);
  }
  return match_letters(text, length, position, out) ||
         match_digits(text, length, position, out) ||
         match_punctuation<kMode, false>(text, length, position, out) ||
         match_whitespace<kMode>(text, length, position, out);
}

// Lower-case words, upper-case words, digits, punctuation with slashes, then the
// whitespace rules. A letter starts a word, a number digits, whitespace one of the
// whitespace rules, and anything else (a mark included) a word or a punctuation run.
template <SplitMode kMode>
inline bool split_full_o200k(const uint8_t* text, uint64_t length, uint64_t position,
                             Piece* out) {
  return match_word_lower<kMode>(text, length, position, out) ||
         match_word_upper<kMode>(text, length, position, out) ||
         match_digits(text, length, position, out) ||
         match_punctuation<kMode, true>(text, length, position, out) ||
         match_whitespace<kMode>(text, length, position, out);
}

// The splitter of the rules and mode, a PieceSplitter. kAsciiFastPath false gives the
// full rules alone, the reference the fast path is checked against.
template <SplitRules kRules, SplitMode kMode, bool kAsciiFastPath>
bool split_next(const uint8_t* text, uint64_t length, uint64_t position, Piece* out) {
  if (position >= length) return false;
  if constexpr (kAsciiFastPath) {
    if (split_ascii<kRules, kMode>(text, length, position, out)) return true;
  }
  if constexpr (kRules == SplitRules::cl100k) {
    return split_full_cl100k<kMode>(text, length, position, out);
  } else {
    return split_full_o200k<kMode>(text, length, position, out);
  }
}

}  // namespace tessel
