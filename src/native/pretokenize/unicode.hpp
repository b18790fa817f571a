#pragma once

// Character primitives of the splitters: one-character UTF-8 decoding, the whitespace set
// and the Unicode 16.0.0 general category. Pure functions over constant data.

#include <cstdint>

#include "data/unicode_categories.hpp"

namespace tessel {

// The 30 Unicode general categories, in alphabetical order of their abbreviations.
enum class GeneralCategory : uint8_t {
  Cc, Cf, Cn, Co, Cs,
  Ll, Lm, Lo, Lt, Lu,
  Mc, Me, Mn,
  Nd, Nl, No,
  Pc, Pd, Pe, Pf, Pi, Po, Ps,
  Sc, Sk, Sm, So,
  Zl, Zp, Zs,
};

// The major class of a category: its initial letter C, L, M, N, P, S or Z.
enum class CharClass : uint32_t {
  Other = 0,
  Letter = 1,
  Mark = 2,
  Number = 3,
  Punctuation = 4,
  Symbol = 5,
  Separator = 6,
};

// CharClass of each GeneralCategory, indexed by the category's value.
inline constexpr uint32_t category_class[30] = {
    0, 0, 0, 0, 0,           // Cc Cf Cn Co Cs
    1, 1, 1, 1, 1,           // Ll Lm Lo Lt Lu
    2, 2, 2,                 // Mc Me Mn
    3, 3, 3,                 // Nd Nl No
    4, 4, 4, 4, 4, 4, 4,     // Pc Pd Pe Pf Pi Po Ps
    5, 5, 5, 5,              // Sc Sk Sm So
    6, 6, 6,                 // Zl Zp Zs
};

inline constexpr uint32_t kMaxCodePoint = 0x10FFFF;

inline bool is_utf8_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Decodes the character that starts at p (p < end) and stores its length in bytes (1..4)
// in *length_out. A well-formed-looking 2-, 3- or 4-byte sequence decodes to its value
// with no further checks (overlong forms and surrogates decode as written; F4..F7 leads
// can give values up to 0x1FFFFF). Any byte that begins no such sequence, including a
// stray continuation byte, a sequence cut short by the end of the text or by a
// non-continuation byte, and F8..FF, is a character of its own whose value is the byte.
// Reads only bytes in [p, end).
inline uint32_t decode_utf8_char(const uint8_t* p, const uint8_t* end, int32_t* length_out) {
  const uint32_t b0 = p[0];
  if (b0 < 0x80) {
    *length_out = 1;
    return b0;
  }
  const uint64_t available = static_cast<uint64_t>(end - p);
  if ((b0 & 0xE0) == 0xC0) {
    if (available >= 2 && is_utf8_continuation(p[1])) {
      *length_out = 2;
      return ((b0 & 0x1F) << 6) | (p[1] & 0x3Fu);
    }
  } else if ((b0 & 0xF0) == 0xE0) {
    if (available >= 3 && is_utf8_continuation(p[1]) && is_utf8_continuation(p[2])) {
      *length_out = 3;
      return ((b0 & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    }
  } else if ((b0 & 0xF8) == 0xF0) {
    if (available >= 4 && is_utf8_continuation(p[1]) && is_utf8_continuation(p[2]) &&
        is_utf8_continuation(p[3])) {
      *length_out = 4;
      return ((b0 & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) |
             (p[3] & 0x3Fu);
    }
  }
  *length_out = 1;
  return b0;
}

// The Unicode White_Space property plus U+180E MONGOLIAN VOWEL SEPARATOR: 26 code points.
inline bool is_unicode_whitespace(uint32_t cp) {
  if (cp <= 0x7F) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
  if (cp < 0x2000) return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || cp == 0x180E;
  // U+2000..U+200A, U+2028, U+2029, U+202F as bits of a 48-bit mask.
  if (cp <= 0x202F) return (0x8300000007FFull >> (cp - 0x2000)) & 1;
  return cp == 0x205F || cp == 0x3000;
}

// General category of cp. Values above U+10FFFF (which the decoder can produce) are
// clamped to U+10FFFF, a noncharacter, so they read inside the table and give Cn.
inline GeneralCategory unicode_category(uint32_t cp) {
  cp = cp <= kMaxCodePoint ? cp : kMaxCodePoint;
  const uint32_t row = block_index[cp >> 7];
  return static_cast<GeneralCategory>(block_rows[row * kCategoryBlockSize + (cp & 127)]);
}

inline CharClass char_class(uint32_t cp) {
  return static_cast<CharClass>(category_class[static_cast<uint32_t>(unicode_category(cp))]);
}

inline constexpr uint32_t kBmpEnd = 0x10000;

// One bit per code point of the Basic Multilingual Plane, set for the letters (categories
// L*), made from the category table on first use (8 KiB). The word rules ask it of every
// character of a word; one load answers where char_class takes three dependent ones.
// cl100k_base's splitter alone, this against char_class (medians of 41, the two builds
// run alternately): 1.18-1.20x on CJK text (the interpreter's cjkencodings texts), 1.03x
// on the multilingual corpus of bench/, where most pieces are short and ASCII.
const uint64_t* bmp_letter_bits();

// Whether cp is a letter, given bmp_letter_bits().
inline bool is_letter_in(const uint64_t* bmp_letters, uint32_t cp) {
  if (cp < kBmpEnd) return (bmp_letters[cp >> 6] >> (cp & 63)) & 1;
  return char_class(cp) == CharClass::Letter;
}

}  // namespace tessel
