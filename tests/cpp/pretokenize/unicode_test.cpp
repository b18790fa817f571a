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
using CC = CharClass;

TEST(CategoryTable, ClassTotalsAndDistinctRows) {
  std::array<uint64_t, 7> totals{};
  for (uint32_t cp = 0; cp <= kMaxCodePoint; ++cp) ++totals[static_cast<uint32_t>(char_class(cp))];
  EXPECT_EQ(totals, (std::array<uint64_t, 7>{959284, 141028, 2501, 1911, 855, 8514, 19}));
  // Identical blocks share one of 263 rows.
  std::set<std::string> distinct;
  uint32_t max_row = 0;
  for (uint32_t b = 0; b < kCategoryBlockCount; ++b) {
    max_row = std::max<uint32_t>(max_row, block_index[b]);
    distinct.emplace(reinterpret_cast<const char*>(block_rows) + block_index[b] * 128, 128);
  }
  EXPECT_EQ(max_row, 262u);
  EXPECT_EQ(distinct.size(), 263u);
  for (uint32_t i = 0; i < kCategoryRowCount * kCategoryBlockSize; ++i)
    ASSERT_LT(block_rows[i], 30);
}

TEST(CategoryTable, KnownCodePoints) {
  struct Case { uint32_t cp; GC category; CC cls; };
  const Case cases[] = {
      {0x41, GC::Lu, CC::Letter}, {0xE9, GC::Ll, CC::Letter}, {0x2019, GC::Pf, CC::Punctuation},
      {0x1F600, GC::So, CC::Symbol}, {0xD800, GC::Cs, CC::Other}, {0x1C89, GC::Lu, CC::Letter},
      {0x10D40, GC::Nd, CC::Number}, {0x0378, GC::Cn, CC::Other}, {0x2FFFF, GC::Cn, CC::Other},
      {0xE000, GC::Co, CC::Other}, {0x01C5, GC::Lt, CC::Letter}, {0x02B0, GC::Lm, CC::Letter},
      {0x05D0, GC::Lo, CC::Letter}, {0x4E00, GC::Lo, CC::Letter}, {0x0301, GC::Mn, CC::Mark},
      {0x00B2, GC::No, CC::Number}, {0x2160, GC::Nl, CC::Number}, {0x180E, GC::Cf, CC::Other},
      {0x200B, GC::Cf, CC::Other}, {0xFEFF, GC::Cf, CC::Other}, {0x3000, GC::Zs, CC::Separator},
      {0x2028, GC::Zl, CC::Separator}, {0x0085, GC::Cc, CC::Other}, {0x10FFFF, GC::Cn, CC::Other},
      {0x10FFFD, GC::Co, CC::Other}, {0x0903, GC::Mc, CC::Mark}, {0x20DD, GC::Me, CC::Mark},
      {0x005F, GC::Pc, CC::Punctuation}, {0x0024, GC::Sc, CC::Symbol},
      {0x002B, GC::Sm, CC::Symbol},
      // Values beyond Unicode are unassigned; the lookup must not index past the table.
      {0x110000, GC::Cn, CC::Other}, {0x1FFFFF, GC::Cn, CC::Other},
      {0xFFFFFFFF, GC::Cn, CC::Other},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(unicode_category(c.cp), c.category) << std::hex << "U+" << c.cp;
    EXPECT_EQ(char_class(c.cp), c.cls) << std::hex << "U+" << c.cp;
  }
}

// The word rules read letters from the bitmap below U+10000 and from the table above it.
TEST(CategoryTable, LetterBitsAgreeWithTheTable) {
  const uint64_t* letters = bmp_letter_bits();
  for (uint32_t cp = 0; cp <= kMaxCodePoint + 1; ++cp) {
    ASSERT_EQ(is_letter_in(letters, cp), char_class(cp) == CC::Letter) << cp;
  }
}

TEST(DecodeUtf8, DocumentedResults) {
  struct Case { std::vector<uint8_t> bytes; uint32_t cp; int32_t length; };
  const Case cases[] = {
      {{0x41}, 0x41, 1}, {{0xC3, 0xA9}, 0xE9, 2}, {{0xE2, 0x80, 0x99}, 0x2019, 3},
      {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600, 4},
      // A lead byte cut by the end or by a non-continuation byte stands alone.
      {{0xC3}, 0xC3, 1}, {{0xC3, 0x41}, 0xC3, 1}, {{0xE2, 0x80}, 0xE2, 1},
      {{0xE2, 0x80, 0x41}, 0xE2, 1}, {{0xF0, 0x9F, 0x98}, 0xF0, 1},
      // Overlong forms, surrogates and values above U+10FFFF decode as written.
      {{0xC0, 0x80}, 0x0, 2}, {{0xE0, 0x80, 0xA0}, 0x20, 3}, {{0xC0, 0x8A}, 0x0A, 2},
      {{0xED, 0xA0, 0x80}, 0xD800, 3}, {{0xF4, 0x90, 0x80, 0x80}, 0x110000, 4},
      {{0xF7, 0xBF, 0xBF, 0xBF}, 0x1FFFFF, 4},
      // Stray continuation bytes and bytes that are never lead bytes.
      {{0x80}, 0x80, 1}, {{0xA0, 0x80}, 0xA0, 1}, {{0xF8, 0x80, 0x80, 0x80}, 0xF8, 1},
      {{0xFF}, 0xFF, 1}, {{0x00}, 0x00, 1},
  };
  for (const Case& c : cases) {
    int32_t length = 0;
    const uint8_t* p = c.bytes.data();
    EXPECT_EQ(decode_utf8_char(p, p + c.bytes.size(), &length), c.cp);
    EXPECT_EQ(length, c.length);
  }
  // Continuation bytes that lie in memory past the end are not read.
  const uint8_t buffer[] = {0xF0, 0x9F, 0x98, 0x80};
  for (int n = 1; n < 4; ++n) {
    int32_t length = 0;
    EXPECT_EQ(decode_utf8_char(buffer, buffer + n, &length), 0xF0u);
    EXPECT_EQ(length, 1);
  }
  // A lone byte 80-FF stands for the Latin-1 character of its value.
  for (uint8_t b = 0x80; b >= 0x80; ++b) {
    int32_t length = 0;
    ASSERT_EQ(decode_utf8_char(&b, &b + 1, &length), b);
    const bool letter =
        b == 0xAA || b == 0xB5 || b == 0xBA || (b >= 0xC0 && b != 0xD7 && b != 0xF7);
    const bool number = b == 0xB2 || b == 0xB3 || b == 0xB9 || (b >= 0xBC && b <= 0xBE);
    EXPECT_EQ(char_class(b) == CC::Letter, letter) << std::hex << int(b);
    EXPECT_EQ(char_class(b) == CC::Number, number) << std::hex << int(b);
  }
}

TEST(Whitespace, ExactlyTheTwentySixCodePoints) {
  std::set<uint32_t> expected = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x180E,
                                 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (uint32_t cp = 0x2000; cp <= 0x200A; ++cp) expected.insert(cp);
  std::set<uint32_t> found;
  for (uint32_t cp = 0; cp <= 0x1FFFFF; ++cp) {
    const bool space = is_unicode_whitespace(cp);
    if (space) found.insert(cp);
    // No whitespace is a letter or a number; every separator is whitespace.
    const CC c = char_class(cp);
    ASSERT_TRUE(!space || (c != CC::Letter && c != CC::Number)) << std::hex << cp;
    ASSERT_TRUE(space || c != CC::Separator) << std::hex << cp;
  }
  EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace tessel
