#pragma once

// Where cl100k_base's pieces start in 64 bytes of plain ASCII text, all at once.
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
//   - three digits (see the batches in piece_batches.cpp).
// These are the classic rules that the ASCII fast path and the full rules agree on; the
// tests and the splitters' fuzzer hold every start to the piece-by-piece splitter.

#include <cstdint>
#include <cstring>

#include "pretokenize/ascii_byte_classes.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessel::ascii {

struct BlockStarts {
  uint64_t starts;    // bit i: a piece other than digits starts at byte block + i
  uint64_t digits;    // bit i: byte block + i is a digit
  bool digit_before;  // the byte before the block is a digit
};

namespace block_detail {

struct Masks {
  uint64_t letter, digit, space, line_break, other, blank;  // blank: the space byte
  uint64_t unusual;  // non-ASCII bytes and apostrophes
};

inline void add_byte(Masks& m, uint8_t b, int bit) {
  const uint8_t c = kByteClass[b];
  const uint64_t one = uint64_t{1} << bit;
  if (c & kLetter) m.letter |= one;
  if (c & kDigit) m.digit |= one;
  if ((c & kSpace) && !(c & kLineBreak)) m.space |= one;
  if (c & kLineBreak) m.line_break |= one;
  if (c & kOther) m.other |= one;
  if (b == ' ') m.blank |= one;
  if ((c & kNonAscii) || b == '\'') m.unusual |= one;
}

// Whether any of 64 bytes is non-ASCII or an apostrophe. Asked first, so that text of
// other scripts, where most blocks are not plain, pays little for the question.
inline bool any_unusual(const uint8_t* bytes) {
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

// The masks of 64 bytes that are ASCII (unusual is left clear).
inline Masks classify(const uint8_t* bytes) {
  Masks m{};
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
    m.digit |= bits(vector::in_range(b, '0', 10));
    m.line_break |= bits(line_break);
    m.space |= bits(_mm_or_si128(blank, _mm_andnot_si128(line_break, controls)));
    m.blank |= bits(blank);
  }
  m.other = ~(m.letter | m.digit | m.space | m.line_break);
#else
  for (int i = 0; i < 64; ++i) add_byte(m, bytes[i], i);
#endif
  return m;
}

}  // namespace block_detail

// The starts in the bytes [block, min(block + 64, length)) of the text, or false when
// they cannot be told this way: a non-ASCII byte or an apostrophe among those bytes, the
// two before them or the one after them.
inline bool block_starts(const uint8_t* text, uint64_t length, uint64_t block, BlockStarts& out) {
  using namespace block_detail;
  // The text's last bytes are read from a copy: bytes past its end have no class, so
  // runs end there.
  uint8_t padded[64];
  const uint8_t* bytes = text + block;
  if (block + 64 > length) {
    std::memset(padded, 0, sizeof padded);
    std::memcpy(padded, text + block, length - block);
    bytes = padded;
  }
  if (any_unusual(bytes)) return false;
  Masks m = classify(bytes);
  if (bytes == padded) {
    const uint64_t present = length - block;
    const uint64_t valid = (uint64_t{1} << present) - 1;
    for (uint64_t* mask : {&m.letter, &m.digit, &m.space, &m.line_break, &m.other, &m.blank}) {
      *mask &= valid;
    }
  }
  // The bytes around the block: bits 0 and 1 the two before it, bit 2 the one after.
  Masks around{};
  if (block >= 2) add_byte(around, text[block - 2], 0);
  if (block >= 1) add_byte(around, text[block - 1], 1);
  if (block + 64 < length) add_byte(around, text[block + 64], 2);
  if (around.unusual != 0) return false;

  // Bit j of the result: the class of byte j - 1, or of byte j + 1.
  const auto before = [](uint64_t mask, uint64_t mask_around) {
    return (mask << 1) | ((mask_around >> 1) & 1);
  };
  const auto after = [](uint64_t mask, uint64_t mask_around) {
    return (mask >> 1) | (((mask_around >> 2) & 1) << 63);
  };
  const uint64_t space_before = before(m.space, around.space);
  // O that starts a run no space byte takes; bit 1 of its "around" mask is byte block - 1.
  const uint64_t other_starts = m.other & ~before(m.other, around.other) &
                                ~before(m.blank, around.blank);
  const uint64_t other_start_around = around.other & ~(around.other << 1) & ~(around.blank << 1);
  const uint64_t bare_letters = m.letter & ~before(m.letter, around.letter) & ~space_before &
                                ~before(other_starts, other_start_around);
  const uint64_t own_line_breaks =
      m.line_break & ~before(m.line_break | m.space | m.other,
                             around.line_break | around.space | around.other);
  const uint64_t space_runs = m.space & ~space_before;
  const uint64_t last_spaces = m.space & space_before &
                               after(m.letter | m.digit | m.other,
                                     around.letter | around.digit | around.other);
  out.starts = other_starts | bare_letters | own_line_breaks | space_runs | last_spaces;
  out.digits = m.digit;
  out.digit_before = ((around.digit >> 1) & 1) != 0;
  return true;
}

}  // namespace tessel::ascii
