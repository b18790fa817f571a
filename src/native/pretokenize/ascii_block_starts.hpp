#pragma once

// Where the pieces of either encoding start in 64 bytes of plain ASCII text, all at once.
//
// Splitting piece after piece is a chain: each piece's first decision waits for the end
// of the piece before it, through loads of the bytes and of their classes. On ASCII
// text without apostrophes the rules need no such chain: whether a piece starts at a
// byte follows from the classes of the byte, of the two before it and of the one after
// it, except within runs of digits, which are cut three at a time from where they start.
// So the classes of 64 bytes become bit masks and the starts a few shifts and ands of
// them; a walk then reads the starts one bit at a time.
//
// With L letters, D digits, S whitespace other than CR and LF, N CR and LF, O all other
// ASCII bytes and ' ' the space byte, a piece starts at byte j when j starts
//   - a run of O that no space byte takes: O[j], and neither O nor ' ' at j-1 (the run
//     and the CR and LF bytes after it are one piece; when one letter follows it, the
//     letters join it as a word);
//   - a run of letters that nothing leads: L[j], and none of L, S or such a start of O
//     at j-1 (S or O there leads the word);
//   - a run of CR and LF of its own: N[j] and none of N, S, O at j-1 (after S or O the
//     run ends that piece);
//   - a run of S, or j is the last byte of a run of two or more S that letters, digits
//     or O follow (the run's other bytes are one piece; a run that CR or LF or the end
//     of the text follows stays whole);
//   - three digits (see digit_starts in block_pieces.cpp).
// These are cl100k_base's classic rules. o200k_base's words split where a capital follows
// a small letter ("fooBar" is "foo" "Bar"), and its runs of O also take the slashes among
// the CR and LF bytes after them ("!\n/" is one piece), so a block with a slash right
// after CR or LF goes to the splitter. In exact mode a whitespace run that holds line
// breaks is one piece up to its last line break, so a run of S right after a line break
// starts no piece when a line break follows it in the same whitespace run (unless that
// line break before it ended a run of O, whose piece takes it). Every other start is the
// same in both modes, as far as ASCII goes. The tests and the splitters' fuzzer hold every
// start to the piece-by-piece splitter.

#include <cstdint>
#include <cstring>

#include "pretokenize/ascii_byte_classes.hpp"
#include "pretokenize/split_mode.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessel::ascii {

// The classes of the 64 bytes of a block as masks, bit i for the block's byte i.
struct BlockMasks {
  uint64_t letter, digit, space, line_break, other, blank;  // blank: the space byte
  uint64_t upper, slash;  // the letters A-Z; the byte '/'
  uint64_t unusual;  // non-ASCII bytes and apostrophes: the starts cannot be told
};

namespace block_detail {

// The masks of 64 bytes.
inline BlockMasks classify(const uint8_t* bytes) {
  BlockMasks m{};
#if defined(__SSE2__)
  for (int part = 0; part < 4; ++part) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * part));
    const auto bits = [part](__m128i lanes) {
      return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(lanes))) << (16 * part);
    };
    const __m128i line_break = _mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8('\n')),
                                            _mm_cmpeq_epi8(b, _mm_set1_epi8('\r')));
    const __m128i blank = _mm_cmpeq_epi8(b, _mm_set1_epi8(' '));
    const __m128i controls = vector::in_range(b, 0x09, 5);  // TAB LF VT FF CR
    m.letter |= bits(vector::in_range(_mm_or_si128(b, _mm_set1_epi8(0x20)), 'a', 26));
    m.upper |= bits(vector::in_range(b, 'A', 26));
    m.slash |= bits(_mm_cmpeq_epi8(b, _mm_set1_epi8('/')));
    m.digit |= bits(vector::in_range(b, '0', 10));
    m.line_break |= bits(line_break);
    m.space |= bits(_mm_or_si128(blank, _mm_andnot_si128(line_break, controls)));
    m.blank |= bits(blank);
    // The top bit marks non-ASCII bytes.
    m.unusual |= bits(_mm_or_si128(b, _mm_cmpeq_epi8(b, _mm_set1_epi8('\''))));
  }
  m.other = ~(m.letter | m.digit | m.space | m.line_break | m.unusual);
#else
  for (int i = 0; i < 64; ++i) {
    const uint8_t b = bytes[i], c = kByteClass[b];
    const uint64_t one = uint64_t{1} << i;
    if ((c & kNonAscii) || b == '\'') m.unusual |= one;
    else if (c & kLetter) m.letter |= one;
    else if (c & kDigit) m.digit |= one;
    else if (c & kLineBreak) m.line_break |= one;
    else if (c & kSpace) m.space |= one;
    else m.other |= one;
    if (b == ' ') m.blank |= one;
    if (b >= 'A' && b <= 'Z') m.upper |= one;
    if (b == '/') m.slash |= one;
  }
#endif
  return m;
}

}  // namespace block_detail

// Whether the 64 bytes at block (block + 64 <= length) hold an unusual byte: the
// question that decides most blocks of text in other scripts, asked before the masks
// are made.
inline bool any_unusual(const uint8_t* text, uint64_t block) {
  const uint8_t* bytes = text + block;
#if defined(__SSE2__)
  __m128i unusual = _mm_setzero_si128();
  for (int part = 0; part < 4; ++part) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * part));
    unusual = _mm_or_si128(unusual, _mm_or_si128(b, _mm_cmpeq_epi8(b, _mm_set1_epi8('\''))));
  }
  return _mm_movemask_epi8(unusual) != 0;
#else
  for (int i = 0; i < 64; ++i) {
    if (bytes[i] >= 0x80 || bytes[i] == '\'') return true;
  }
  return false;
#endif
}

// Whether the text has whole blocks and they are mostly free of unusual bytes, judged
// from up to 32 blocks spread over it. Where most blocks hold one, as in text in other
// scripts, telling starts a block at a time costs more than it gains (see
// block_pieces.hpp), and so it does on a text shorter than a block: counting 11 to 63
// bytes of English took 55-162 ns piece by piece against 101-184 ns by blocks with
// cl100k_base; with o200k_base 58-127 ns against 106-149 ns up to 40 bytes, and up to 8%
// more from 48 to 63 bytes (medians of 15, alternating in one process).
inline bool mostly_plain_blocks(const uint8_t* text, uint64_t length) {
  const uint64_t blocks = length / 64;
  if (blocks == 0) return false;
  const uint64_t samples = blocks < 32 ? blocks : 32;
  uint64_t unusual = 0;
  for (uint64_t i = 0; i < samples; ++i) unusual += any_unusual(text, blocks * i / samples * 64);
  return 2 * unusual <= samples;
}

// The masks of the block of the text that starts at block; bytes past the text's end
// have no class, so that runs end there (all masks clear for a block past the end).
inline BlockMasks classify_block(const uint8_t* text, uint64_t length, uint64_t block) {
  if (block >= length) return BlockMasks{};
  if (length - block >= 64) return block_detail::classify(text + block);
  uint8_t padded[64] = {};
  std::memcpy(padded, text + block, length - block);
  BlockMasks m = block_detail::classify(padded);
  // The zero bytes of the padding fall in no class but O. (Clearing every mask through a
  // list of pointers instead cost counting 124 bytes of English 9%.)
  m.other &= (uint64_t{1} << (length - block)) - 1;
  return m;
}

// Whether the starts of block m can be told from masks: no unusual byte in it, in the
// two bytes before it (the end of the block `before`) or in the byte after it (the start
// of the block `after`); for o200k_base, no slash right after CR or LF there either. In
// exact mode the whitespace runs around the block must also be known: the run of S that
// starts `after` must end within it at a byte that is not unusual, and a run of CR and LF
// that ends `before` must start within it after a byte that is not unusual (so runs of 64
// such bytes and more go to the splitter).
template <SplitRules kRules, SplitMode kMode>
inline bool plain_block(const BlockMasks& before, const BlockMasks& m, const BlockMasks& after) {
  if ((m.unusual | (before.unusual >> 62) | (after.unusual & 1)) != 0) return false;
  if constexpr (kRules == SplitRules::o200k) {
    const uint64_t slash_after_break =
        (m.slash & ((m.line_break << 1) | (before.line_break >> 63))) |
        ((before.slash & (before.line_break << 1)) >> 62);
    if (slash_after_break != 0) return false;
  }
  if constexpr (kMode == SplitMode::exact) {
    if (after.space == ~uint64_t{0} || before.line_break == ~uint64_t{0}) return false;
    if ((after.unusual >> __builtin_ctzll(~after.space)) & 1) return false;
    if ((before.line_break >> 63) != 0 &&
        ((before.unusual >> (63 - __builtin_clzll(~before.line_break))) & 1) != 0) {
      return false;
    }
  }
  return true;
}

namespace block_detail {

// Exact mode: the starts of S runs right after a line break that a later line break of
// the same whitespace run takes into the line breaks' piece. Needs plain_block's exact
// conditions.
inline uint64_t inner_space_runs(const BlockMasks& before, const BlockMasks& m,
                                 const BlockMasks& after) {
  // Bit j: the run of S from byte j ends at CR or LF. Whether the run that goes on into
  // `after` does is read at the first byte of `after` that is not S; within the block it
  // is carried down the runs by doubling (a run covers bit j for 2s bytes after round s).
  const uint64_t after_ends_at_break = (after.line_break >> __builtin_ctzll(~after.space)) & 1;
  uint64_t ends_at_break = m.space & ((m.line_break >> 1) | (after_ends_at_break << 63));
  uint64_t all_space = m.space;
  for (int shift = 1; shift < 64; shift *= 2) {
    ends_at_break |= all_space & (ends_at_break >> shift);
    all_space &= all_space >> shift;
  }
  // CR and LF that a run of O takes: the run of them right after an O. Adding the run's
  // first bit carries through the run, flipping exactly its bits and the one after it.
  const auto taken_by_other = [](uint64_t breaks, uint64_t firsts, uint64_t carry_in) {
    return breaks & ((breaks + firsts + carry_in) ^ breaks);
  };
  const uint64_t taken_before =
      taken_by_other(before.line_break, before.line_break & (before.other << 1), 0);
  const uint64_t taken = taken_by_other(
      m.line_break, m.line_break & ((m.other << 1) | (before.other >> 63)),
      m.line_break & (taken_before >> 63));
  const uint64_t after_own_break = ((m.line_break & ~taken) << 1) |
                                   ((before.line_break & ~taken_before) >> 63);
  return m.space & after_own_break & ends_at_break;
}

}  // namespace block_detail

// The starts of pieces other than digits in plain block m, given the blocks before and
// after it (all clear where there is none).
template <SplitRules kRules, SplitMode kMode>
inline uint64_t block_starts(const BlockMasks& before, const BlockMasks& m,
                             const BlockMasks& after) {
  // Bit j: the class of byte j - 1, or of byte j + 1.
  const auto prior = [](uint64_t mask, uint64_t mask_before) {
    return (mask << 1) | (mask_before >> 63);
  };
  const auto next = [](uint64_t mask, uint64_t mask_after) {
    return (mask >> 1) | (mask_after << 63);
  };
  // O that starts a run no space byte takes, in the block and in the one before.
  const uint64_t other_starts_before =
      before.other & ~(before.other << 1) & ~(before.blank << 1);
  const uint64_t other_starts = m.other & ~prior(m.other, before.other) &
                                ~prior(m.blank, before.blank);
  const uint64_t space_before = prior(m.space, before.space);
  const uint64_t bare_letters = m.letter & ~prior(m.letter, before.letter) & ~space_before &
                                ~prior(other_starts, other_starts_before);
  const uint64_t own_line_breaks =
      m.line_break & ~prior(m.line_break | m.space | m.other,
                            before.line_break | before.space | before.other);
  const uint64_t space_runs = m.space & ~space_before;
  const uint64_t last_spaces = m.space & space_before &
                               next(m.letter | m.digit | m.other,
                                    after.letter | after.digit | after.other);
  uint64_t starts = other_starts | bare_letters | own_line_breaks | space_runs | last_spaces;
  if constexpr (kRules == SplitRules::o200k) {
    starts |= m.upper & prior(m.letter & ~m.upper, before.letter & ~before.upper);
  }
  if constexpr (kMode == SplitMode::exact) {
    return starts & ~block_detail::inner_space_runs(before, m, after);
  }
  return starts;
}

}  // namespace tessel::ascii
