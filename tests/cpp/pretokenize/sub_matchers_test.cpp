// The sub-matchers on their own: contraction suffixes, what each rule takes and when it
// declines, and the piece fields it reports.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "walk_helpers.hpp"

namespace tessel {
namespace {

using testing::bytes_of;

TEST(ContractionLength, SuffixesInEitherCase) {
  struct Case { std::string text; uint64_t length; };
  const Case cases[] = {
      {"'s", 2},  {"'S", 2},  {"'t", 2},  {"'d", 2},  {"'M", 2},  {"'ll", 3}, {"'lL", 3},
      {"'ve", 3}, {"'VE", 3}, {"'re", 3}, {"'rex", 3}, {"'sx", 2}, {"\xE2\x80\x99s", 4},
      {"\xE2\x80\x99LL", 5},  {"'l", 0},  {"'lx", 0}, {"'r", 0},  {"'v", 0},  {"'x", 0},
      {"'", 0},   {"", 0},    {"s", 0},   {"\xE2\x80\x99", 0}, {"\xE2\x80", 0},
      {"`s", 0},  {"'\xD3", 0},  // 0xD3 | 0x20 is not a letter byte
  };
  for (const Case& c : cases) {
    EXPECT_EQ(contraction_length(bytes_of(c.text), bytes_of(c.text) + c.text.size()), c.length)
        << c.text;
  }
}

struct MatchCase {
  PieceSplitter matcher;
  std::string text;
  uint64_t position;
  bool matches;
  uint64_t end;
  int32_t rule_kind;
};

TEST(SubMatchers, TakeWhatTheirRuleDescribes) {
  const MatchCase cases[] = {
      {match_letters, " abc1", 0, true, 4, 0},
      {match_letters, "\nabc", 0, false, 0, 0},
      {match_letters, "!!a", 0, false, 0, 0},
      {match_letters, "\xCC\x81" "ab", 0, true, 4, 0},  // a mark may lead
      {match_letters, "ab\xCC\x81", 0, true, 2, 0},     // but does not continue a word
      {match_digits, "12345", 1, true, 4, 0},
      {match_digits, "1a", 0, true, 1, 0},
      {match_digits, "a1", 0, false, 0, 0},
      {match_punctuation, " !!a", 0, true, 3, 0},
      {match_punctuation, " a", 0, false, 0, 0},
      {match_punctuation, "\t!", 0, false, 0, 0},
      {match_punctuation, "!\r\n\n/", 0, true, 4, 0},
      {match_punctuation_slash, "!\r\n\n/x", 0, true, 5, 0},
      {match_newlines, " \t\r\n \n", 0, true, 4, 0},
      {match_newlines, "  x\n", 0, false, 0, 0},
      {match_trailing_whitespace, "a  ", 1, true, 3, 0},
      {match_trailing_whitespace, "  a", 0, false, 0, 0},
      {match_whitespace_before_text, "   x", 0, true, 3, 1},
      {match_whitespace_before_text, " x", 0, false, 0, 0},
      {match_whitespace, " x", 0, true, 1, 2},
      {match_whitespace, "x", 0, false, 0, 0},
      {match_word_lower, " Hello!", 0, true, 6, 0},
      {match_word_lower, " HELLO!", 0, false, 0, 0},
      {match_word_lower, "don't", 0, true, 5, 0},
      {match_word_upper, " HELLO's", 0, true, 8, 0},
      {match_word_upper, "!", 0, false, 0, 0},
      {match_word_upper, "!1", 0, false, 0, 0},
  };
  for (const MatchCase& c : cases) {
    Piece piece{};
    const bool matched = c.matcher(bytes_of(c.text), c.text.size(), c.position, &piece);
    ASSERT_EQ(matched, c.matches) << c.text;
    if (!matched) continue;
    EXPECT_EQ(piece.start, c.position) << c.text;
    EXPECT_EQ(piece.end, c.end) << c.text;
    EXPECT_EQ(piece.rule_kind, c.rule_kind) << c.text;
    EXPECT_EQ(piece.drop_last_char, c.rule_kind == 1 ? 1 : 0) << c.text;
  }
}

}  // namespace
}  // namespace tessel
