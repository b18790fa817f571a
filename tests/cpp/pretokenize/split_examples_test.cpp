// Whole piece lists of both splitters, after the walk's trimming.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "walk_helpers.hpp"

namespace tessel {
namespace {

using testing::walk_pieces;

struct Example {
  std::string text;
  std::vector<std::string> pieces;
};

void expect_pieces(PieceSplitter split, const std::vector<Example>& examples) {
  for (const Example& e : examples) {
    EXPECT_EQ(walk_pieces(split, e.text), e.pieces) << "text: \"" << e.text << "\"";
  }
}

// Splits that both encodings agree on: whitespace, line breaks, digits.
const std::vector<Example> kSharedExamples = {
    {"", {}},
    {"Hello, world!", {"Hello", ",", " world", "!"}},
    {"1234567", {"123", "456", "7"}},
    {"\u00b2\u00b3\u00b9", {"\u00b2\u00b3\u00b9"}},
    {"a   b", {"a", "  ", " b"}},
    {"a  b", {"a", " ", " b"}},
    {" 123", {" ", "123"}},
    {"  123", {" ", " ", "123"}},
    {"  \u00e9", {" ", " \u00e9"}},
    {"   \u4e2d", {"  ", " \u4e2d"}},
    {"a\t\tb", {"a", "\t", "\tb"}},
    {"x  !!", {"x", " ", " !!"}},
    {"\u3000\u3000x", {"\u3000", "\u3000x"}},
    {"\u180e\u180ex", {"\u180e", "\u180ex"}},
    {"\u00a0\u00a0x", {"\u00a0", "\u00a0x"}},
    {"  ", {"  "}},
    {"a  ", {"a", "  "}},
    {"hello \n world", {"hello", " \n", " world"}},
    {"\n \n x", {"\n", " \n", " x"}},
    {"hello\n\nworld", {"hello", "\n\n", "world"}},
    {"\r\n\r\n", {"\r\n\r\n"}},
    {" $100", {" $", "100"}},
    {" 's", {" '", "s"}},
    {"a1", {"a", "1"}},
};

TEST(SplitCl100k, SharedExamples) { expect_pieces(split_next_cl100k, kSharedExamples); }
TEST(SplitO200k, SharedExamples) { expect_pieces(split_next_o200k, kSharedExamples); }

TEST(SplitCl100k, Examples) {
  expect_pieces(split_next_cl100k, {
      {"I'm", {"I", "'m"}},
      {"I'M", {"I", "'M"}},
      {"they'RE", {"they", "'RE"}},
      {"'lx", {"'lx"}},
      {"it'", {"it", "'"}},
      {"don\u2019t", {"don", "\u2019t"}},
      {"we'll've", {"we", "'ll", "'ve"}},
      {"?!\n/", {"?!\n", "/"}},
      {"helloWorld", {"helloWorld"}},
      {"e\u0301e", {"e", "\u0301e"}},
      {"path/to.file:x", {"path", "/to", ".file", ":x"}},
      {"x!/\r\n/a", {"x", "!/\r\n", "/a"}},
      {"\u4e2d\u6587ABC", {"\u4e2d\u6587ABC"}},
  });
}

TEST(SplitO200k, Examples) {
  expect_pieces(split_next_o200k, {
      {"I'm", {"I'm"}},
      {"IT'S", {"IT'S"}},
      {"they'RE", {"they'RE"}},
      {"x's", {"x's"}},
      {"A'S", {"A'S"}},
      {"don\u2019t", {"don\u2019t"}},
      {"DON'Tx", {"DON'T", "x"}},
      {"ABCdef'll", {"ABCdef'll"}},
      {"'s", {"'s"}},
      {"'lx", {"'lx"}},
      {"helloWorld", {"hello", "World"}},
      {"AbC", {"Ab", "C"}},
      {"aB", {"a", "B"}},
      {"HELLOworld", {"HELLOworld"}},
      {"\u00c9COLE \u00c9cole \u00c0B \u03a3\u03c3", {"\u00c9COLE", " \u00c9cole", " \u00c0B", " \u03a3\u03c3"}},
      {"\u4e2d\u6587\u5b57", {"\u4e2d\u6587\u5b57"}},
      {"\u01c5abc", {"\u01c5abc"}},
      {"x\u02b0", {"x\u02b0"}},
      {"e\u0301e", {"e\u0301e"}},
      {"x\u0301\u0301", {"x\u0301\u0301"}},
      {"\u0301\u0301", {"\u0301\u0301"}},
      {"(\u0301", {"(\u0301"}},
      {"\u0301!", {"\u0301!"}},
      {"\u0301 ", {"\u0301", " "}},
      {"\U0001F600x", {"\U0001F600x"}},
      {"?!\n/", {"?!\n/"}},
      {"x!/\r\n/a", {"x", "!/\r\n/", "a"}},
      {"x.y\n/", {"x", ".y", "\n", "/"}},
      // A run of upper-set characters that no lower-case letter follows ends after its
      // last character that is also in the lower set (Lo, Lm or a mark).
      {"\u4e2d\u6587ABC", {"\u4e2d\u6587", "ABC"}},
      {"\u4f7f\u7528API!", {"\u4f7f\u7528", "API", "!"}},
      {"\u4e2dA's", {"\u4e2d", "A's"}},
      {"E\u0301COLE", {"E\u0301", "COLE"}},
      {"\u02b0A", {"\u02b0", "A"}},
      {"\u4e2dAbc", {"\u4e2dAbc"}},
      // A mark before capitals is a word by itself; before anything but a letter or a
      // mark it joins the punctuation run.
      {"\u0301AB", {"\u0301", "AB"}},
      {"\u0301A\u4e2dB", {"\u0301A\u4e2d", "B"}},
      {"1\u0301's", {"1", "\u0301'", "s"}},
  });
}

TEST(ContractionLength, SuffixesInEitherCase) {
  const std::pair<std::string, uint64_t> cases[] = {
      {"'s", 2},   {"'T", 2},   {"'dx", 2},  {"'lL", 3},  {"'VE", 3},  {"'rex", 3},
      {"\u2019s", 4}, {"\u2019LL", 5}, {"'l", 0}, {"'lx", 0}, {"'r", 0}, {"'x", 0},
      {"'", 0},    {"", 0},     {"\u2019", 0}, {"\xE2\x80", 0}, {"`s", 0}, {"'\xD3", 0}};
  for (const auto& [text, length] : cases) {
    const auto* p = testing::bytes_of(text);
    EXPECT_EQ(contraction_length(p, p + text.size()), length) << text;
  }
}

TEST(SubMatchers, ReportTheirRuleKind) {
  const std::string text = " x";
  Piece piece{};
  ASSERT_TRUE(match_whitespace(testing::bytes_of(text), text.size(), 0, &piece));
  EXPECT_EQ(piece.end, 1u);
  EXPECT_EQ(piece.rule_kind, 2);
  EXPECT_EQ(piece.drop_last_char, 0);
  ASSERT_TRUE(match_letters(testing::bytes_of(text), text.size(), 0, &piece));
  EXPECT_EQ(piece.rule_kind, 0);
}

}  // namespace
}  // namespace tessel
