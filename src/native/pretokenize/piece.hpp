#pragma once

#include <cstdint>

namespace tessel {

// One piece of a text as a splitter finds it: [start, end). When drop_last_char is set,
// the last character (which begins at last_char_start) is not part of the piece: the
// consumer cuts it off and starts the next piece there.
struct Piece {
  uint64_t start;
  uint64_t end;
  uint8_t drop_last_char;
  uint64_t last_char_start;  // valid when drop_last_char is set
};

// Fills out with the piece starting at position and returns true, or returns false when
// position >= length. Stateless; the consumer owns the position.
using PieceSplitter = bool (*)(const uint8_t* text, uint64_t length, uint64_t position,
                               Piece* out);

}  // namespace tessel
