#pragma once

// The piece splitters of the two encodings and every sub-matcher they are built from.
//
// Contract of a PieceSplitter (and of each sub-matcher): called with position < length,
// it fills out with a piece that starts at position and ends after it and returns true;
// it returns false when position >= length (a sub-matcher also when its rule does not
// match there). Any bytes are accepted; each byte that begins no well-formed UTF-8
// sequence is a character of its own. Stateless, allocation-free, linear time.

#include <cstdint>

#include "pretokenize/cl100k_rules.hpp"
#include "pretokenize/contraction.hpp"
#include "pretokenize/o200k_rules.hpp"
#include "pretokenize/piece.hpp"
#include "pretokenize/shared_rules.hpp"

namespace tessel {

// Contractions at the start of a piece, letters, digits, punctuation, line breaks,
// trailing whitespace, whitespace before text, lone whitespace: first match wins.
bool split_next_cl100k(const uint8_t* text, uint64_t length, uint64_t position, Piece* out);

// Lower-case words, upper-case words, digits, punctuation with slashes, then the
// whitespace rules of cl100k_base: first match wins.
bool split_next_o200k(const uint8_t* text, uint64_t length, uint64_t position, Piece* out);

}  // namespace tessel
