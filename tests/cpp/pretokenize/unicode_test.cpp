// The category table, the decoder and the whitespace set.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "data/unicode_categories.hpp"
#include "pretokenize/unicode.hpp"

namespace tessel {
namespace {

using GC = GeneralCategory;

TEST(CategoryTable, ClassTotalsAreThoseOfUnicode16) {
  std::array<uint64_t, 7> totals{};
  for (uint32_t cp = 0; cp <= kMaxCodePoint; ++cp) ++totals[static_cast<uint32_t>(char_class(cp))];
  const std::array<uint64_t, 7> expected{959284, 141028, 2501, 1911, 855, 8514, 19};
  EXPECT_EQ(totals, expected);
}

TEST(CategoryTable, IdenticalBlocksShareOneOf263Rows) {
  std::set<std::string> distinct;
  uint32_t max_row = 0;
  for (uint32_t b = 0; b < kCategoryBlockCount; ++b) {
    max_row = std::max<uint32_t>(max_row, block_index[b]);
    distinct.emplace(reinterpret_cast<const char*>(block_rows) + block_index[b] * 128, 128);
  }
  EXPECT_EQ(max_row, 262u);
  EXPECT_EQ(distinct.size(), 263u);
  for (uint32_t i = 0; i < kCategoryRowCount * kCategoryBlockSize; ++i) ASSERT_LT(block_rows[i], 30);
}

TEST(CategoryTable, KnownCodePoints) {
  struct Case { uint32_t cp; GC category; CharClass cls; };
  const Case cases[] = {
      {0x41, GC::Lu, CharClass::Letter},      {0xE9, GC::Ll, CharClass::Letter},
      {0x2019, GC::Pf, CharClass::Punctuation}, {0x1F600, GC::So, CharClass::Symbol},
      {0xD800, GC::Cs, CharClass::Other},     {0x1C89, GC::Lu, CharClass::Letter},
      {0x10D40, GC::Nd, CharClass::Number},   {0x0378, GC::Cn, CharClass::Other},
      {0x2FFFF, GC::Cn, CharClass::Other},    {0xE000, GC::Co, CharClass::Other},
      {0x01C5, GC::Lt, CharClass::Letter},    {0x02B0, GC::Lm, CharClass::Letter},
      {0x05D0, GC::Lo, CharClass::Letter},    {0x4E00, GC::Lo, CharClass::Letter},
      {0x0301, GC::Mn, CharClass::Mark},      {0x00B2, GC::No, CharClass::Number},
      {0x2160, GC::Nl, CharClass::Number},    {0x180E, GC::Cf, CharClass::Other},
      {0x200B, GC::Cf, CharClass::Other},     {0xFEFF, GC::Cf, CharClass::Other},
      {0x3000, GC::Zs, CharClass::Separator}, {0x2028, GC::Zl, CharClass::Separator},
      {0x0085, GC::Cc, CharClass::Other},     {0x10FFFF, GC::Cn, CharClass::Other},
      {0x10FFFD, GC::Co, CharClass::Other},   {0x0903, GC::Mc, CharClass::Mark},
      {0x20DD, GC::Me, CharClass::Mark},      {0x005F, GC::Pc, CharClass::Punctuation},
      {0x0024, GC::Sc, CharClass::Symbol},    {0x002B, GC::Sm, CharClass::Symbol},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(unicode_category(c.cp), c.category) << std::hex << "U+" << c.cp;
    EXPECT_EQ(char_class(c.cp), c.cls) << std::hex << "U+" << c.cp;
  }
}

TEST(CategoryTable, ValuesBeyondUnicodeAreUnassigned) {
  for (uint32_t cp : {0x110000u, 0x1FFFFFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(unicode_category(cp), GC::Cn);
    EXPECT_EQ(char_class(cp), CharClass::Other);
  }
}

struct DecodeCase {
  std::vector<uint8_t> bytes;
  uint32_t cp;
  int32_t length;
};

TEST(DecodeUtf8, DocumentedResults) {
  const DecodeCase cases[] = {
      {{0x41}, 0x41, 1},
      {{0xC3, 0xA9}, 0xE9, 2},
      {{0xE2, 0x80, 0x99}, 0x2019, 3},
      {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600, 4},
      {{0xC3}, 0xC3, 1},                      // lead byte cut by the end
      {{0xC3, 0x41}, 0xC3, 1},                // lead byte cut by a non-continuation
      {{0xE2, 0x80}, 0xE2, 1},
      {{0xE2, 0x80, 0x41}, 0xE2, 1},
      {{0xF0, 0x9F, 0x98}, 0xF0, 1},
      {{0xC0, 0x80}, 0x0, 2},                 // overlong forms decode to their value
      {{0xE0, 0x80, 0xA0}, 0x20, 3},
      {{0xC0, 0x8A}, 0x0A, 2},
      {{0xED, 0xA0, 0x80}, 0xD800, 3},        // surrogates decode as written
      {{0xF4, 0x90, 0x80, 0x80}, 0x110000, 4},
      {{0xF7, 0xBF, 0xBF, 0xBF}, 0x1FFFFF, 4},
      {{0x80}, 0x80, 1},                      // stray continuation bytes
      {{0xA0, 0x80}, 0xA0, 1},
      {{0xF8, 0x80, 0x80, 0x80}, 0xF8, 1},    // never a lead byte
      {{0xFF}, 0xFF, 1},
      {{0x00}, 0x00, 1},
  };
  for (const DecodeCase& c : cases) {
    int32_t length = 0;
    const uint8_t* p = c.bytes.data();
    EXPECT_EQ(decode_utf8_char(p, p + c.bytes.size(), &length), c.cp);
    EXPECT_EQ(length, c.length);
  }
}

TEST(DecodeUtf8, NeverReadsAtOrPastTheEnd) {
  // A truncated sequence followed in memory by valid continuation bytes that lie
  // outside the text must still decode as the lone lead byte.
  const uint8_t buffer[] = {0xF0, 0x9F, 0x98, 0x80};
  for (int n = 1; n < 4; ++n) {
    int32_t length = 0;
    EXPECT_EQ(decode_utf8_char(buffer, buffer + n, &length), 0xF0u);
    EXPECT_EQ(length, 1);
  }
}

TEST(Whitespace, ExactlyTheTwentySixCodePoints) {
  const std::set<uint32_t> expected = {
      0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x180E, 0x2000, 0x2001, 0x2002,
      0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029,
      0x202F, 0x205F, 0x3000};
  std::set<uint32_t> found;
  for (uint32_t cp = 0; cp <= 0x1FFFFF; ++cp) {
    if (is_unicode_whitespace(cp)) found.insert(cp);
  }
  EXPECT_EQ(found, expected);
  // No whitespace is a letter or a number; every separator is whitespace.
  for (uint32_t cp = 0; cp <= kMaxCodePoint; ++cp) {
    const CharClass c = char_class(cp);
    if (is_unicode_whitespace(cp)) {
      EXPECT_NE(c, CharClass::Letter);
      EXPECT_NE(c, CharClass::Number);
    }
    if (c == CharClass::Separator) {
      EXPECT_TRUE(is_unicode_whitespace(cp));
    }
  }
}

TEST(LoneBytes, ClassifiedAsTheLatin1CharacterOfTheirValue) {
  for (uint32_t b = 0x80; b <= 0xFF; ++b) {
    const uint8_t byte = static_cast<uint8_t>(b);
    int32_t length = 0;
    const uint32_t cp = decode_utf8_char(&byte, &byte + 1, &length);
    ASSERT_EQ(cp, b);
    const bool letter = b == 0xAA || b == 0xB5 || b == 0xBA || (b >= 0xC0 && b != 0xD7 && b != 0xF7);
    const bool number = b == 0xB2 || b == 0xB3 || b == 0xB9 || (b >= 0xBC && b <= 0xBE);
    EXPECT_EQ(char_class(cp) == CharClass::Letter, letter) << std::hex << b;
    EXPECT_EQ(char_class(cp) == CharClass::Number, number) << std::hex << b;
    EXPECT_EQ(is_unicode_whitespace(cp), b == 0x85 || b == 0xA0) << std::hex << b;
  }
}

}  // namespace
}  // namespace tessel
