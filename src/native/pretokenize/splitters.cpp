#include "pretokenize/splitters.hpp"

#include "pretokenize/split_rules.hpp"

namespace tessel {

namespace {

template <bool kAsciiFastPath>
PieceSplitter select(SplitRules rules, SplitMode mode) {
  const bool exact = mode == SplitMode::exact;
  if (rules == SplitRules::cl100k) {
    return exact ? split_next<SplitRules::cl100k, SplitMode::exact, kAsciiFastPath>
                 : split_next<SplitRules::cl100k, SplitMode::classic, kAsciiFastPath>;
  }
  return exact ? split_next<SplitRules::o200k, SplitMode::exact, kAsciiFastPath>
               : split_next<SplitRules::o200k, SplitMode::classic, kAsciiFastPath>;
}

}  // namespace

bool split_next_cl100k(const uint8_t* text, uint64_t length, uint64_t position, Piece* out) {
  return split_next<SplitRules::cl100k, SplitMode::classic, true>(text, length, position, out);
}

bool split_next_cl100k_exact(const uint8_t* text, uint64_t length, uint64_t position,
                             Piece* out) {
  return split_next<SplitRules::cl100k, SplitMode::exact, true>(text, length, position, out);
}

bool split_next_o200k(const uint8_t* text, uint64_t length, uint64_t position, Piece* out) {
  return split_next<SplitRules::o200k, SplitMode::classic, true>(text, length, position, out);
}

PieceSplitter piece_splitter(SplitRules rules, SplitMode mode) {
  if (mode == SplitMode::classic) {
    return rules == SplitRules::cl100k ? split_next_cl100k : split_next_o200k;
  }
  if (rules == SplitRules::cl100k) return split_next_cl100k_exact;
  return select<true>(rules, mode);
}

PieceSplitter full_rules_splitter(SplitRules rules, SplitMode mode) {
  return select<false>(rules, mode);
}

}  // namespace tessel
