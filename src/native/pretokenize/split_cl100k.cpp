#include "pretokenize/splitters.hpp"

namespace tessel {

bool split_next_cl100k(const uint8_t* text, uint64_t length, uint64_t position, Piece* out) {
  if (position >= length) return false;
  if (const uint64_t n = contraction_length(text + position, text + length); n > 0) {
    return fill_piece(out, position, position + n);
  }
  // Every character is whitespace, a letter, a number or none of these, so one of the
  // letters, digits, punctuation or whitespace rules always matches.
  return match_letters(text, length, position, out) ||
         match_digits(text, length, position, out) ||
         match_punctuation(text, length, position, out) ||
         match_newlines(text, length, position, out) ||
         match_trailing_whitespace(text, length, position, out) ||
         match_whitespace_before_text(text, length, position, out) ||
         match_whitespace(text, length, position, out);
}

}  // namespace tessel
