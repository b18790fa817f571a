#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pretokenize/piece_walk.hpp"
#include "pretokenize/splitters.hpp"

namespace tessel::testing {

inline const uint8_t* bytes_of(std::string_view s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

// The pieces of text as the walk yields them, as strings.
inline std::vector<std::string> walk_pieces(PieceSplitter split, std::string_view text) {
  std::vector<std::string> pieces;
  uint64_t position = 0, start = 0, end = 0;
  while (next_piece(split, bytes_of(text), text.size(), position, start, end)) {
    pieces.emplace_back(text.substr(start, end - start));
  }
  return pieces;
}

// The pieces as [start, end) offsets; stops (and reports it through a failure-marker
// piece) after more steps than bytes, which would mean the walk does not advance.
inline std::vector<std::pair<uint64_t, uint64_t>> walk_offsets(PieceSplitter split,
                                                                std::string_view text) {
  std::vector<std::pair<uint64_t, uint64_t>> offsets;
  uint64_t position = 0, start = 0, end = 0;
  while (next_piece(split, bytes_of(text), text.size(), position, start, end)) {
    offsets.emplace_back(start, end);
    if (offsets.size() > text.size()) break;
  }
  return offsets;
}

}  // namespace tessel::testing
