#include "pretokenize/splitters.hpp"

#include "pretokenize/split_rules.hpp"

namespace tessel {

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

bool split_next_o200k_exact(const uint8_t* text, uint64_t length, uint64_t position,
                            Piece* out) {
  return split_next<SplitRules::o200k, SplitMode::exact, true>(text, length, position, out);
}

PieceSplitter piece_splitter(SplitRules rules, SplitMode mode) {
  if (mode == SplitMode::classic) {
    return rules == SplitRules::cl100k ? split_next_cl100k : split_next_o200k;
  }
  return rules == SplitRules::cl100k ? split_next_cl100k_exact : split_next_o200k_exact;
}

PieceSplitter full_rules_splitter(SplitRules rules, SplitMode mode) {
  const bool exact = mode == SplitMode::exact;
  if (rules == SplitRules::cl100k) {
    return exact ? split_next<SplitRules::cl100k, SplitMode::exact, false>
                 : split_next<SplitRules::cl100k, SplitMode::classic, false>;
  }
  return exact ? split_next<SplitRules::o200k, SplitMode::exact, false>
               : split_next<SplitRules::o200k, SplitMode::classic, false>;
}

}  // namespace tessel
