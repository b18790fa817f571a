// Both splitters through the walk: whole piece lists of examples, then bytes that are not
// clean UTF-8 and random input, where pieces must tile the text exactly, none empty,
// nothing read past the end.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pretokenize/ascii_byte_classes.hpp"
#include "pretokenize/block_pieces.hpp"
#include "pretokenize/piece_walk.hpp"
#include "pretokenize/split_rules.hpp"
#include "pretokenize/splitters.hpp"

namespace tessel {
namespace {

using Offsets = std::vector<std::pair<uint64_t, uint64_t>>;

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// The walk's pieces as [start, end); gives up after more pieces than bytes, which would
// mean the walk does not advance.
Offsets walk_offsets(PieceSplitter split, const uint8_t* text, uint64_t length) {
  Offsets offsets;
  uint64_t position = 0, start = 0, end = 0;
  while (offsets.size() <= length && next_piece(split, text, length, position, start, end))
    offsets.emplace_back(start, end);
  return offsets;
}

const std::pair<const char*, PieceSplitter> kSplitters[] = {
    {"cl100k_base", split_next_cl100k},
    {"o200k_base", split_next_o200k},
    {"cl100k_base exact", piece_splitter(SplitRules::cl100k, SplitMode::exact)},
    {"o200k_base exact", piece_splitter(SplitRules::o200k, SplitMode::exact)}};

using Example = std::pair<std::string, std::vector<std::string>>;  // text, pieces

// Splits that both encodings agree on: whitespace, line breaks, digits.
const std::vector<Example> kShared = {
    {"", {}},                    {"Hello, world!", {"Hello", ",", " world", "!"}},
    {"1234567", {"123", "456", "7"}},         {"\u00b2\u00b3\u00b9", {"\u00b2\u00b3\u00b9"}},
    {"a   b", {"a", "  ", " b"}},             {"a  b", {"a", " ", " b"}},
    {" 123", {" ", "123"}},                   {"  123", {" ", " ", "123"}},
    {"  \u00e9", {" ", " \u00e9"}},           {"   \u4e2d", {"  ", " \u4e2d"}},
    {"a\t\tb", {"a", "\t", "\tb"}},           {"x  !!", {"x", " ", " !!"}},
    {"\u3000\u3000x", {"\u3000", "\u3000x"}}, {"\u180e\u180ex", {"\u180e", "\u180ex"}},
    {"\u00a0\u00a0x", {"\u00a0", "\u00a0x"}}, {"  ", {"  "}},
    {"a  ", {"a", "  "}},                     {"hello \n world", {"hello", " \n", " world"}},
    {"\n \n x", {"\n", " \n", " x"}},         {"hello\n\nworld", {"hello", "\n\n", "world"}},
    {"\r\n\r\n", {"\r\n\r\n"}},               {" $100", {" $", "100"}},
    {" 's", {" '", "s"}},                     {"a1", {"a", "1"}},
};

const std::vector<Example> kCl100k = {
    {"I'm", {"I", "'m"}},               {"I'M", {"I", "'M"}},
    {"they'RE", {"they", "'RE"}},       {"'lx", {"'lx"}},
    {"it'", {"it", "'"}},               {"don\u2019t", {"don", "\u2019t"}},
    {"we'll've", {"we", "'ll", "'ve"}}, {"?!\n/", {"?!\n", "/"}},
    {"helloWorld", {"helloWorld"}},     {"e\u0301e", {"e", "\u0301e"}},
    {"path/to.file:x", {"path", "/to", ".file", ":x"}},
    {"x!/\r\n/a", {"x", "!/\r\n", "/a"}},
    {"\u4e2d\u6587ABC", {"\u4e2d\u6587ABC"}},
};

const std::vector<Example> kO200k = {
    {"I'm", {"I'm"}},                 {"IT'S", {"IT'S"}},
    {"they'RE", {"they'RE"}},         {"x's", {"x's"}},
    {"A'S", {"A'S"}},                 {"don\u2019t", {"don\u2019t"}},
    {"DON'Tx", {"DON'T", "x"}},       {"ABCdef'll", {"ABCdef'll"}},
    {"'s", {"'s"}},                   {"'lx", {"'lx"}},
    {"helloWorld", {"hello", "World"}}, {"AbC", {"Ab", "C"}},
    {"aB", {"a", "B"}},               {"HELLOworld", {"HELLOworld"}},
    {"\u00c9COLE \u00c9cole \u00c0B \u03a3\u03c3",
     {"\u00c9COLE", " \u00c9cole", " \u00c0B", " \u03a3\u03c3"}},
    {"\u4e2d\u6587\u5b57", {"\u4e2d\u6587\u5b57"}}, {"\u01c5abc", {"\u01c5abc"}},
    {"x\u02b0", {"x\u02b0"}},         {"e\u0301e", {"e\u0301e"}},
    {"x\u0301\u0301", {"x\u0301\u0301"}}, {"\u0301\u0301", {"\u0301\u0301"}},
    {"(\u0301", {"(\u0301"}},         {"\u0301!", {"\u0301!"}},
    {"\u0301 ", {"\u0301", " "}},     {"\U0001F600x", {"\U0001F600x"}},
    {"?!\n/", {"?!\n/"}},             {"x!/\r\n/a", {"x", "!/\r\n/", "a"}},
    {"x.y\n/", {"x", ".y", "\n", "/"}},
    // Upper-set runs not followed by a lower-case letter end after their last character
    // that is also in the lower set (Lo, Lm or a mark).
    {"\u4e2d\u6587ABC", {"\u4e2d\u6587", "ABC"}},
    {"\u4f7f\u7528API!", {"\u4f7f\u7528", "API", "!"}},
    {"\u4e2dA's", {"\u4e2d", "A's"}}, {"E\u0301COLE", {"E\u0301", "COLE"}},
    {"\u02b0A", {"\u02b0", "A"}},     {"\u4e2dAbc", {"\u4e2dAbc"}},
    // A mark before capitals is a word by itself; before anything but a letter or a mark
    // it joins the punctuation run.
    {"\u0301AB", {"\u0301", "AB"}},   {"\u0301A\u4e2dB", {"\u0301A\u4e2d", "B"}},
    {"1\u0301's", {"1", "\u0301'", "s"}},
};

TEST(Split, ExamplesOfBothEncodings) {
  const std::pair<PieceSplitter, const std::vector<Example>*> runs[] = {
      {split_next_cl100k, &kShared}, {split_next_o200k, &kShared},
      {split_next_cl100k, &kCl100k}, {split_next_o200k, &kO200k}};
  for (const auto& [split, examples] : runs) {
    for (const auto& [text, want] : *examples) {
      std::vector<std::string> pieces;
      for (const auto& [start, end] : walk_offsets(split, bytes_of(text), text.size()))
        pieces.push_back(text.substr(start, end - start));
      EXPECT_EQ(pieces, want) << (split == split_next_cl100k ? "cl100k" : "o200k")
                              << " text: \"" << text << "\"";
    }
  }
}

// Where the exact mode parts from the classic rules (the ids tiktoken gives).
TEST(Split, ExactModeExamples) {
  const Example shared[] = {
      {"x\n \ny", {"x", "\n \n", "y"}},          {"\n \n x", {"\n \n", " x"}},
      {"a \r\n\t\n  \n\n  b", {"a", " \r\n\t\n  \n\n", " ", " b"}},
      {"\n\n \n", {"\n\n \n"}},                 {"\u180e\u180ex", {"\u180e\u180e", "x"}},
      {" \u180e", {" \u180e"}},                 {"a\u180e\n", {"a", "\u180e\n"}},
  };
  const Example cl100k[] = {
      {"don\u2019t", {"don", "\u2019t"}}, {"\u2019llama", {"\u2019llama"}},
      {"'llama", {"'ll", "ama"}},
  };
  const Example o200k[] = {
      {"don\u2019t", {"don", "\u2019t"}}, {"we\u2019ll", {"we", "\u2019ll"}},
      {"\u0301!", {"\u0301", "!"}},      {"1\u0301's", {"1", "\u0301's"}},
      {"\u0301 x", {"\u0301", " x"}},     {"\u0301AB", {"\u0301", "AB"}},
      {"(\u0301", {"(\u0301"}},          {"\u0301\u0301", {"\u0301\u0301"}},
  };
  const auto check = [](SplitRules rules, const auto& examples) {
    for (const auto& [text, want] : examples) {
      std::vector<std::string> pieces;
      const PieceSplitter split = piece_splitter(rules, SplitMode::exact);
      for (const auto& [start, end] : walk_offsets(split, bytes_of(text), text.size()))
        pieces.push_back(text.substr(start, end - start));
      EXPECT_EQ(pieces, want) << (rules == SplitRules::cl100k ? "cl100k" : "o200k")
                              << " text: \"" << text << "\"";
    }
  };
  for (SplitRules rules : {SplitRules::cl100k, SplitRules::o200k}) check(rules, shared);
  check(SplitRules::cl100k, cl100k);
  check(SplitRules::o200k, o200k);
}

// The ASCII fast path hands a piece to the full rules when a decision needs a non-ASCII
// byte. Texts of ASCII runs of every class that meet non-ASCII characters at every
// point: the fast path must give the full rules' pieces.
TEST(Split, AsciiFastPathEqualsFullRules) {
  static const std::string kAscii[] = {
      "a", "Z", "ab", "AB", "Ab", "aB", "1", "12", "123", "1234", "!", "!?", "/", "'", "'s",
      "'LL", "'ve", "'l", "'r", " ", "  ", "\t", "\n", "\r\n", " \n ", "\n \n", "\x0b",
      std::string(1, '\0'), "\x1f", "\x7f", "x'", " !", " a", "!a", "\ta", "\na", "a!/\n/",
      // Runs longer than the 16 bytes the run scan reads at once.
      "abcdefghijklmnopqrstu", "ABCDEFGHIJKLMNOPQRSTU", "Abcdefghijklmnopqrstu",
      std::string(17, ' '), std::string(18, '\n'), "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t",
      "!!\"#$%&()*+,-.:;<=>?@[]^_`{|}~!!"};
  static const std::string kOther[] = {
      "\xC3\xA9", "\xC3\x89", "\xE4\xB8\xAD", "\xCC\x81", "\xCA\xB0", "\xC7\x85", "\xC2\xB2",
      "\xC2\xA0", "\xC2\x85", "\xE3\x80\x80", "\xE1\xA0\x8E", "\xE2\x80\x99", "\xE2\x80\x99s",
      "\xC2\xAB", "\xF0\x9F\x98\x80", "\x80", "\xC3", "\xC0\x8A", "\xFF"};
  constexpr SplitRules kRules[] = {SplitRules::cl100k, SplitRules::o200k};
  constexpr SplitMode kModes[] = {SplitMode::classic, SplitMode::exact};
  const auto expect_same = [&](const std::string& text) {
    for (SplitRules rules : kRules) {
      for (SplitMode mode : kModes) {
        ASSERT_EQ(walk_offsets(piece_splitter(rules, mode), bytes_of(text), text.size()),
                  walk_offsets(full_rules_splitter(rules, mode), bytes_of(text), text.size()))
            << "rules " << int(rules) << " mode " << int(mode) << " text: \"" << text << "\"";
      }
    }
  };
  for (const std::string& a : kAscii) {
    for (const std::string& b : kAscii) {
      for (const std::string& c : kOther) {
        expect_same(a + b + c);
        expect_same(a + c + b);
        expect_same(c + a + b);
      }
    }
  }
  std::mt19937_64 rng(7);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (size_t n = rng() % 24; n > 0; --n) {
      text += rng() % 5 ? kAscii[rng() % std::size(kAscii)] : kOther[rng() % std::size(kOther)];
    }
    expect_same(text);
  }
}

// The pieces of a whole text, for either encoding in either mode, tell the starts of
// plain ASCII blocks from masks and hand every other block to the splitter. Texts of many
// blocks mix what the masks decide (runs of every class, digit runs that cross blocks,
// whitespace runs with line breaks inside and at their ends, long runs of spaces or line
// breaks, words whose case changes, the text's end) with what sends a block to the
// splitter (apostrophes, non-ASCII bytes, non-ASCII whitespace and punctuation next to a
// whitespace run, slashes after line breaks, before, in or right after a block), so that
// the walk changes hands anywhere.
template <SplitRules kRules, SplitMode kMode>
void expect_block_pieces_are_the_splitters() {
  static const std::string kPool[] = {
      "a", "Zq", "word", " the", "fooBar", "ABc", "XY", "  ", "   ", "\t", "\t\t", "\n",
      "\r\n", "\n\n ", " \n", "\n \n", " \t\n  \n", "!\n", ".\n \n", std::string(70, '\n'),
      "1", "22", "4444", std::string(70, '7'), "!", "!!", " !", "(", "/", "\n/",
      std::string(1, '\0'), "\x0b", "\x7f", std::string(130, ' '), std::string(90, 'x'), "'",
      "'s", "'ll", " '", "\xC3\xA9", "\xE4\xB8\xAD", "\xE2\x80\x99", "\xC2\xB2", "\xC2\xA0",
      "\xC2\x85", "\xE2\x80\x94", "\x80"};
  const PieceSplitter split = piece_splitter(kRules, kMode);
  const auto expect_same = [split](const std::string& text) {
    Offsets offsets;
    BlockPieces<kRules, kMode> pieces(bytes_of(text), text.size());
    uint64_t start, end;
    while (offsets.size() <= text.size() && pieces.next(start, end)) offsets.emplace_back(start, end);
    ASSERT_EQ(offsets, walk_offsets(split, bytes_of(text), text.size())) << "text: \"" << text << "\"";
  };
  std::mt19937_64 rng(12);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const bool plain = round % 3 != 0;  // most texts: ASCII without apostrophes
    for (size_t n = rng() % 120; n > 0; --n) {
      const std::string& part = kPool[rng() % std::size(kPool)];
      if (!plain || (part.find('\'') == std::string::npos && static_cast<uint8_t>(part[0]) < 0x80))
        text += part;
    }
    expect_same(text);
  }
  // Whitespace runs whose pieces depend on bytes a block away, moved across a boundary.
  const std::string tails[] = {"\xE2\x80\x94\n\n\n \n x", "!\n\n \n", "\n  \xC2\xA0\n",
                               "x\n \n \n y", "!\n/a", std::string(130, '\n') + " \n"};
  for (const std::string& tail : tails) {
    for (size_t lead = 40; lead < 70; ++lead) expect_same(std::string(lead, 'a') + tail);
  }
}

TEST(Split, BlockPiecesAreTheSplittersPieces) {
  expect_block_pieces_are_the_splitters<SplitRules::cl100k, SplitMode::classic>();
  expect_block_pieces_are_the_splitters<SplitRules::cl100k, SplitMode::exact>();
  expect_block_pieces_are_the_splitters<SplitRules::o200k, SplitMode::classic>();
  expect_block_pieces_are_the_splitters<SplitRules::o200k, SplitMode::exact>();
}

// The run scan reads 16 bytes at a time through masks built apart from the byte-class
// table; every byte, at every lane, must end a run exactly where the table says.
template <uint8_t kAccept, uint8_t kReject = 0>
void expect_run_scan_follows_the_table(uint8_t filler) {
  for (int b = 0; b < 256; ++b) {
    for (size_t at = 0; at < 40; at += 3) {
      std::string bytes(40, static_cast<char>(filler));
      bytes[at] = static_cast<char>(b);
      const uint8_t* q = bytes_of(bytes);
      const size_t want = ascii::in_run<kAccept, kReject>(static_cast<uint8_t>(b)) ? 40 : at;
      const auto end = ascii::run_end<kAccept, kReject>(q, q + bytes.size());
      ASSERT_EQ(static_cast<size_t>(end - q), want)
          << "classes " << int(kAccept) << "/" << int(kReject) << " byte " << b << " at " << at;
    }
  }
}

TEST(AsciiRunScan, FollowsTheByteClassTable) {
  using namespace ascii;
  expect_run_scan_follows_the_table<kLetter>('q');
  expect_run_scan_follows_the_table<kUpper>('Q');
  expect_run_scan_follows_the_table<kLower>('q');
  expect_run_scan_follows_the_table<kOther>('%');
  expect_run_scan_follows_the_table<kLineBreak>('\n');
  expect_run_scan_follows_the_table<kSpace>(' ');
  expect_run_scan_follows_the_table<kSpace, kLineBreak>('\t');
}

TEST(ContractionLength, SuffixesInEitherCase) {
  const std::pair<std::string, uint64_t> cases[] = {
      {"'s", 2},   {"'T", 2},   {"'dx", 2},  {"'lL", 3},  {"'VE", 3},  {"'rex", 3},
      {"\u2019s", 4}, {"\u2019LL", 5}, {"'l", 0}, {"'lx", 0}, {"'r", 0}, {"'x", 0},
      {"'", 0},    {"", 0},     {"\u2019", 0}, {"\xE2\x80", 0}, {"`s", 0}, {"'\xD3", 0}};
  for (const auto& [text, length] : cases) {
    const auto* p = bytes_of(text);
    EXPECT_EQ(contraction_length<SplitMode::classic>(p, p + text.size()), length) << text;
  }
}

// Walks a heap copy of exactly the text's bytes (so ASan sees any read past the end) and
// checks that the pieces are non-empty and tile the text.
void expect_tiling(const std::string& text) {
  auto copy = std::make_unique<uint8_t[]>(text.size());
  std::copy(text.begin(), text.end(), copy.get());
  for (const auto& [name, split] : kSplitters) {
    uint64_t position = 0;
    for (const auto& [start, end] : walk_offsets(split, copy.get(), text.size())) {
      ASSERT_EQ(start, position) << name;
      ASSERT_LT(start, end) << name;
      position = end;
    }
    ASSERT_EQ(position, text.size()) << name;
  }
}

TEST(Walk, FlaggedPiecesAndOverlongLineBreaks) {
  const std::pair<std::string, Offsets> cases[] = {
      // A whitespace run whose last character is a lone byte (A0 or 85 read as U+00A0 or
      // U+0085) loses only that byte, and the walk moves on.
      {"\x20\xA0\x78", {{0, 1}, {1, 3}}},      {"\x20\x85\x78", {{0, 1}, {1, 3}}},
      {"\x20\x20\xA0\x78", {{0, 2}, {2, 4}}},  {"\xA0\xA0\xA0y", {{0, 2}, {2, 4}}},
      {"\xE3\x80\x80\xE3\x80\x80x", {{0, 3}, {3, 7}}},  // U+3000 loses all three bytes
      // Overlong line breaks are taken whole.
      {"\xC0\x8A", {{0, 2}}},  {"\xE0\x80\x8A", {{0, 3}}},  {"\xC0\x8D\n\r", {{0, 4}}},
      {" \xC0\x8Ax", {{0, 3}, {3, 4}}},  {"a \xE0\x80\x8A\n b", {{0, 1}, {1, 6}, {6, 8}}},
  };
  for (const auto& [name, split] : kSplitters) {
    for (const auto& [text, want] : cases)
      EXPECT_EQ(walk_offsets(split, bytes_of(text), text.size()), want) << name;
  }
}

TEST(Walk, AnyBytesAndEveryPrefixTile) {
  const std::string cases[] = {
      std::string("\0\0\0", 3), "\xED\xA0\x80\xED\xBF\xBF", "\xF4\x90\x80\x80\xF7\xBF\xBF\xBF",
      "\xC3", "a\xE2\x80", "\xF0\x9F\x98", "'", "'l", "\xE2\x80\x99", "\xE2\x80\x99l",
      "\x80\x80\xBF", "\xFF\xFE x", " \xC0\x80 ", "A\xCC", "\xE4\xB8", "\xE0\x80\xA0\xE0\x80\xA0z",
      " \xE0\x80\xA0", "\x20\xF0", "x'\xE2\x80\x99", " \xCC\x81\xCC\x81", "\xCC\x81"};
  for (const std::string& text : cases) {
    for (size_t n = 0; n <= text.size(); ++n) expect_tiling(text.substr(0, n));
  }
  // Every sub-matcher finds nothing at or past the end.
  constexpr SplitMode kClassic = SplitMode::classic, kExact = SplitMode::exact;
  const PieceSplitter matchers[] = {
      split_next_cl100k, split_next_o200k, match_letters, match_digits,
      match_punctuation<kClassic, false>, match_punctuation<kExact, true>,
      match_whitespace<kClassic>, match_whitespace<kExact>, match_word_lower<kClassic>,
      match_word_lower<kExact>, match_word_upper<kClassic>, match_word_upper<kExact>};
  const std::string text = "ab 1";
  for (PieceSplitter m : matchers) {
    Piece piece{};
    EXPECT_FALSE(m(bytes_of(text), text.size(), text.size(), &piece));
    EXPECT_FALSE(m(bytes_of(text), text.size(), text.size() + 5, &piece));
  }
}

TEST(Walk, RandomInputsTileExactly) {
  // Invalid bytes, overlong forms, surrogates, values above U+10FFFF, NUL, marks,
  // apostrophes, line breaks, letters of several cases.
  static const std::string kPool[] = {
      "a", "Z", "\xC3\xA9", "\xC3\x89", "\xE4\xB8\xAD", "\xCA\xB0", "\xC7\x85", "\xCC\x81",
      "1", "\xC2\xB2", "\xE2\x85\xA0", "!", "/", "'", "\xE2\x80\x99", "s", "LL", "ve", " ",
      "  ", "\t", "\n", "\r", "\r\n", "\xC2\xA0", "\xC2\x85", "\xE3\x80\x80", "\xE1\xA0\x8E",
      "\xE2\x80\xA8", "\xF0\x9F\x98\x80", "\x80", "\xA0", "\x85", "\xC3", "\xE2\x80",
      "\xF0\x9F\x98", "\xC0\x8A", "\xE0\x80\x8D", "\xC0\xA0", "\xE0\x80\xA0", "\xED\xA0\x80",
      "\xF4\x90\x80\x80", "\xF8", "\xFF", std::string(1, '\0'), "\xEF\xBF\xBF", "\xE2\x80\x8B"};
  std::mt19937_64 rng(20261208);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const size_t n = rng() % 64;
    for (size_t i = 0; i < n; ++i) {
      if (round % 2 == 0) text.push_back(static_cast<char>(rng() & 0xFF));
      else text += kPool[rng() % std::size(kPool)];
    }
    expect_tiling(text);
  }
  // Pieces of a megabyte.
  for (const std::string unit : {"a", "A", "!", " ", "\xE4\xB8\xAD", "\xCC\x81", "\xA0", "1"}) {
    std::string text;
    while (text.size() < (1u << 20)) text += unit;
    expect_tiling(text);
  }
}

}  // namespace
}  // namespace tessel
