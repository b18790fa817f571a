#pragma once

// The piece splitters of the two encodings, in either mode.
//
// Contract of a PieceSplitter (and of each sub-matcher): called with position < length,
// it fills out with a piece that starts at position and ends after it and returns true;
// it returns false when position >= length (a sub-matcher also when its rule does not
// match there). Any bytes are accepted; each byte that begins no well-formed UTF-8
// sequence is a character of its own. Stateless, allocation-free, linear time.

#include <cstdint>

#include "pretokenize/piece.hpp"
#include "pretokenize/split_mode.hpp"

namespace tessel {

// The splitter of the rules in the mode, ASCII fast path included.
PieceSplitter piece_splitter(SplitRules rules, SplitMode mode);

// The same splitter without the ASCII fast path: every piece decoded and classified by
// the full rules. Gives the same pieces, slower; what the fast path is checked against.
PieceSplitter full_rules_splitter(SplitRules rules, SplitMode mode);

// piece_splitter(SplitRules::cl100k, SplitMode::classic): contractions at the start of a
// piece, letters, digits, punctuation, line breaks, trailing whitespace, whitespace
// before text, lone whitespace; first match wins.
bool split_next_cl100k(const uint8_t* text, uint64_t length, uint64_t position, Piece* out);

// piece_splitter(SplitRules::cl100k, SplitMode::exact): the same rules as the published
// pattern runs them.
bool split_next_cl100k_exact(const uint8_t* text, uint64_t length, uint64_t position, Piece* out);

// piece_splitter(SplitRules::o200k, SplitMode::classic): lower-case words, upper-case
// words, digits, punctuation with slashes, then the whitespace rules of cl100k_base.
bool split_next_o200k(const uint8_t* text, uint64_t length, uint64_t position, Piece* out);

// piece_splitter(SplitRules::o200k, SplitMode::exact).
bool split_next_o200k_exact(const uint8_t* text, uint64_t length, uint64_t position, Piece* out);

}  // namespace tessel
