#include "pretokenize/splitters.hpp"

namespace tessel {

bool split_next_o200k(const uint8_t* text, uint64_t length, uint64_t position, Piece* out) {
  if (position >= length) return false;
  // A letter starts a word, a number digits, whitespace one of the whitespace rules, and
  // anything else (a mark included) at least a punctuation run.
  return match_word_lower(text, length, position, out) ||
         match_word_upper(text, length, position, out) ||
         match_digits(text, length, position, out) ||
         match_punctuation_slash(text, length, position, out) ||
         match_newlines(text, length, position, out) ||
         match_trailing_whitespace(text, length, position, out) ||
         match_whitespace_before_text(text, length, position, out) ||
         match_whitespace(text, length, position, out);
}

}  // namespace tessel
