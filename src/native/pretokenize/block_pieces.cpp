#include "pretokenize/block_pieces.hpp"

namespace tessel {

namespace {

// The starts of digit pieces in the block after position: every third digit of a run,
// counted from the run's first digit, or from position, which starts a piece, when the
// run holds it or goes on from before the block (position then starts the run's last
// piece so far, of three digits or fewer, so lies at most three bytes back).
uint64_t digit_starts(uint64_t digits, bool digit_before, uint64_t block, uint64_t position) {
  uint64_t starts = 0;
  while (digits != 0) {
    const uint64_t first = static_cast<uint64_t>(__builtin_ctzll(digits));
    const uint64_t rest = ~(digits >> first);
    const uint64_t last = rest != 0 ? first + static_cast<uint64_t>(__builtin_ctzll(rest)) : 64;
    const uint64_t run_start = block + first, run_end = block + last;
    const bool from_position =
        (first == 0 && digit_before) || (position >= run_start && position < run_end);
    for (uint64_t s = from_position ? position : run_start; s < run_end; s += 3) {
      if (s >= run_start && s > position) starts |= uint64_t{1} << (s - block);
    }
    digits &= last < 64 ? ~uint64_t{0} << last : 0;
  }
  return starts;
}

}  // namespace

template <SplitRules kRules, SplitMode kMode>
BlockPieces<kRules, kMode>::BlockPieces(const uint8_t* text, uint64_t length)
    : text_(text), length_(length) {
  enter_at(0);
}

template <SplitRules kRules, SplitMode kMode>
bool BlockPieces<kRules, kMode>::take_starts() {
  starts_ = 0;
  if (!ascii::plain_block<kRules, kMode>(before_, masks_, after_)) return false;
  uint64_t starts = ascii::block_starts<kRules, kMode>(before_, masks_, after_) |
                    digit_starts(masks_.digit, (before_.digit >> 63) != 0, block_, position_);
  if (position_ >= block_) {
    // position_ starts a piece, so the masks must say so; should they ever not, the
    // splitter decides.
    const uint64_t at = position_ - block_;
    if (((starts >> at) & 1) == 0) return false;
    starts &= at < 63 ? ~uint64_t{0} << (at + 1) : 0;
  }
  starts_ = starts;
  return true;
}

template <SplitRules kRules, SplitMode kMode>
bool BlockPieces<kRules, kMode>::enter_at(uint64_t block) {
  block_ = block;
  before_ = block >= 64 ? ascii::classify_block(text_, length_, block - 64) : ascii::BlockMasks{};
  masks_ = ascii::classify_block(text_, length_, block);
  after_ = ascii::classify_block(text_, length_, block + 64);
  return plain_ = take_starts();
}

template <SplitRules kRules, SplitMode kMode>
bool BlockPieces<kRules, kMode>::enter_next() {
  block_ += 64;
  before_ = masks_;
  masks_ = after_;
  after_ = ascii::classify_block(text_, length_, block_ + 64);
  return plain_ = take_starts();
}

template <SplitRules kRules, SplitMode kMode>
void BlockPieces<kRules, kMode>::leave_unplain_block() {
  const uint64_t block = position_ & ~uint64_t{63};
  if (block + 64 <= length_ && ascii::any_unusual(text_, block)) {
    block_ = block;  // not plain either: no masks needed
  } else {
    enter_at(block);
  }
}

template <SplitRules kRules, SplitMode kMode>
bool BlockPieces<kRules, kMode>::next_beyond_starts(uint64_t& start, uint64_t& end) {
  for (;;) {
    if (position_ >= length_) return false;
    if (starts_ != 0 || !plain_) return next(start, end);
    if (block_ + 64 >= length_) {
      // The last block's last piece ends with the text.
      start = position_;
      end = position_ = length_;
      return true;
    }
    enter_next();
  }
}

template class BlockPieces<SplitRules::cl100k, SplitMode::classic>;
template class BlockPieces<SplitRules::cl100k, SplitMode::exact>;
template class BlockPieces<SplitRules::o200k, SplitMode::classic>;
template class BlockPieces<SplitRules::o200k, SplitMode::exact>;

}  // namespace tessel
