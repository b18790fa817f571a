// The piece splitters of both encodings in both modes on any bytes: each call keeps its
// contract, the pieces tile the input without gaps or empty pieces, every piece ends on a
// character boundary (a character being a well-formed-looking UTF-8 sequence or a byte
// that begins none), the ASCII fast path cuts the pieces the full rules cut, and
// cl100k_base's classic pieces told a block at a time are the splitter's.
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"
#include "pretokenize/block_pieces.hpp"
#include "pretokenize/piece_walk.hpp"
#include "pretokenize/splitters.hpp"
#include "pretokenize/unicode.hpp"

using namespace tessel;

namespace {

// The pieces' ends, checked on the way.
std::vector<uint64_t> checked_pieces(PieceSplitter split, const uint8_t* text, uint64_t length,
                                     const std::vector<bool>& boundary) {
  std::vector<uint64_t> ends;
  uint64_t position = 0;
  while (position < length) {
    Piece piece{};
    FUZZ_CHECK(split(text, length, position, &piece));
    FUZZ_CHECK(piece.start == position);
    FUZZ_CHECK(piece.end > position && piece.end <= length);
    FUZZ_CHECK(boundary[piece.end]);
    uint64_t end = piece.end;
    if (piece.drop_last_char) {
      FUZZ_CHECK(piece.last_char_start > position && piece.last_char_start < piece.end);
      FUZZ_CHECK(boundary[piece.last_char_start]);
      int32_t char_length = 0;
      decode_utf8_char(text + piece.last_char_start, text + length, &char_length);
      FUZZ_CHECK(piece.last_char_start + char_length == piece.end);
      end = piece.last_char_start;
    }
    // The walk every consumer uses finds the same piece.
    uint64_t walk_position = position, start = 0, walk_end = 0;
    FUZZ_CHECK(next_piece(split, text, length, walk_position, start, walk_end));
    FUZZ_CHECK(start == position && walk_end == end && walk_position == end);
    position = end;
    ends.push_back(end);
  }
  Piece none{};
  FUZZ_CHECK(!split(text, length, length, &none));
  return ends;
}

// The ends of the pieces told a block at a time for split.
std::vector<uint64_t> block_ends(PieceSplitter split, const uint8_t* text, uint64_t length) {
  std::vector<uint64_t> ends;
  uint64_t start, end, position = 0;
  FUZZ_CHECK(with_block_pieces(split, text, length, [&](auto& pieces) {
    while (pieces.next(start, end)) {
      FUZZ_CHECK(start == position && end > start && end <= length);
      ends.push_back(position = end);
    }
  }));
  FUZZ_CHECK(position == length);
  return ends;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<bool> boundary(size + 1, false);
  for (size_t at = 0; at < size;) {
    boundary[at] = true;
    int32_t char_length = 0;
    decode_utf8_char(data + at, data + size, &char_length);
    at += char_length;
  }
  boundary[size] = true;
  for (SplitRules rules : {SplitRules::cl100k, SplitRules::o200k}) {
    for (SplitMode mode : {SplitMode::classic, SplitMode::exact}) {
      const PieceSplitter split = piece_splitter(rules, mode);
      const std::vector<uint64_t> ends = checked_pieces(split, data, size, boundary);
      FUZZ_CHECK(ends == checked_pieces(full_rules_splitter(rules, mode), data, size, boundary));
      FUZZ_CHECK(block_ends(split, data, size) == ends);
    }
  }
  return 0;
}
