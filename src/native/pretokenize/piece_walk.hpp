#pragma once

// The walk over a text's pieces, shared by every consumer of a splitter.

#include <cstdint>

#include "pretokenize/piece.hpp"

namespace tessel {

// Where the piece the splitter found at position really ends: its end within the text,
// with its last character cut off when the splitter flags it (exactly the character that
// begins at last_char_start, so a lone byte standing for a whitespace character is cut by
// itself). position itself when the piece makes no progress.
inline uint64_t cut_piece_end(const Piece& piece, uint64_t position, uint64_t length) {
  uint64_t piece_end = piece.end <= length ? piece.end : length;
  if (piece_end <= position) return position;
  if (piece.drop_last_char && piece.last_char_start > position &&
      piece.last_char_start < piece_end) {
    piece_end = piece.last_char_start;
  }
  return piece_end;
}

// Finds the next piece at position: calls split, stores the piece's [start, cut_piece_end)
// and moves position to its end. Returns false at the end of the text, or when the
// splitter finds no piece or one that makes no progress. Every piece returned is non-empty
// and position strictly grows, so a walk over n bytes makes at most n steps.
inline bool next_piece(PieceSplitter split, const uint8_t* text, uint64_t length,
                       uint64_t& position, uint64_t& start, uint64_t& end) {
  if (position >= length) return false;
  Piece piece;
  if (!split(text, length, position, &piece)) return false;
  const uint64_t piece_end = cut_piece_end(piece, position, length);
  if (piece_end == position) return false;
  start = position;
  end = piece_end;
  position = piece_end;
  return true;
}

}  // namespace tessel
