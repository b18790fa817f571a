// The walk and the splitters on bytes that are not clean UTF-8, and their invariants on
// random input: pieces tile the text exactly, none is empty, nothing reads past the end.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "walk_helpers.hpp"

namespace tessel {
namespace {

using testing::bytes_of;
using testing::walk_offsets;
using Offsets = std::vector<std::pair<uint64_t, uint64_t>>;

struct NamedSplitter {
  const char* name;
  PieceSplitter split;
};
const NamedSplitter kSplitters[] = {{"cl100k_base", split_next_cl100k},
                                    {"o200k_base", split_next_o200k}};

// Checks that the walk's pieces are non-empty and tile [0, text.size()).
void expect_tiling(PieceSplitter split, const std::string& text, const char* what) {
  const Offsets offsets = walk_offsets(split, text);
  uint64_t position = 0;
  for (const auto& [start, end] : offsets) {
    ASSERT_EQ(start, position) << what;
    ASSERT_LT(start, end) << what;
    position = end;
  }
  ASSERT_EQ(position, text.size()) << what;
}

// A heap copy of exactly the text's bytes, so reading past the end trips ASan.
std::unique_ptr<uint8_t[]> exact_copy(const std::string& text) {
  auto copy = std::make_unique<uint8_t[]>(text.size());
  std::copy(text.begin(), text.end(), copy.get());
  return copy;
}

TEST(Walk, FlaggedPieceEndingInALoneByteLosesOnlyThatByte) {
  // 20 A0 78: the space and the lone A0 (read as U+00A0) form a whitespace run whose last
  // character is the single byte A0.
  struct Case { std::string text; Offsets offsets; };
  const Case cases[] = {
      {"\x20\xA0\x78", {{0, 1}, {1, 3}}},
      {"\x20\x85\x78", {{0, 1}, {1, 3}}},
      {"\x20\x20\xA0\x78", {{0, 2}, {2, 4}}},
      {"\xA0\xA0\xA0y", {{0, 2}, {2, 4}}},
      {"\xE3\x80\x80\xE3\x80\x80x", {{0, 3}, {3, 7}}},  // U+3000 loses all three bytes
  };
  for (const NamedSplitter& s : kSplitters) {
    for (const Case& c : cases) EXPECT_EQ(walk_offsets(s.split, c.text), c.offsets) << s.name;
  }
}

TEST(Walk, FlaggedPieceReportsWhereItsLastCharacterStarts) {
  Piece piece{};
  const std::string text = " \xA0x";
  ASSERT_TRUE(match_whitespace_before_text(bytes_of(text), text.size(), 0, &piece));
  EXPECT_EQ(piece.end, 2u);
  EXPECT_EQ(piece.drop_last_char, 1);
  EXPECT_EQ(piece.last_char_start, 1u);
  EXPECT_EQ(piece.rule_kind, 1);
}

TEST(Walk, OverlongLineBreaksAreTakenWhole) {
  struct Case { std::string text; Offsets offsets; };
  const Case cases[] = {
      {"\xC0\x8A", {{0, 2}}},
      {"\xE0\x80\x8A", {{0, 3}}},
      {"\xC0\x8D\n\r", {{0, 4}}},
      {" \xC0\x8Ax", {{0, 3}, {3, 4}}},
      {"a \xE0\x80\x8A\n b", {{0, 1}, {1, 6}, {6, 8}}},
  };
  for (const NamedSplitter& s : kSplitters) {
    for (const Case& c : cases) EXPECT_EQ(walk_offsets(s.split, c.text), c.offsets) << s.name;
  }
  Piece piece{};
  const std::string text = "\xC0\x8A";
  ASSERT_TRUE(match_newlines(bytes_of(text), text.size(), 0, &piece));
  EXPECT_EQ(piece.end, 2u);
}

TEST(Walk, AnyBytesTileWithoutReadingPastTheEnd) {
  const std::string cases[] = {
      std::string("\0\0\0", 3), "\xED\xA0\x80\xED\xBF\xBF", "\xF4\x90\x80\x80\xF7\xBF\xBF\xBF",
      "\xC3", "a\xE2\x80", "\xF0\x9F\x98", "'", "'l", "\xE2\x80\x99", "\xE2\x80\x99l",
      "\x80\x80\xBF", "\xFF\xFE x", " \xC0\x80 ", "A\xCC", "\xE4\xB8", "\xE0\x80\xA0\xE0\x80\xA0z",
      " \xE0\x80\xA0", "\x20\xF0", "x'\xE2\x80\x99", " \xCC\x81\xCC\x81", "\xCC\x81"};
  for (const NamedSplitter& s : kSplitters) {
    for (const std::string& text : cases) {
      // Every prefix as its own text, in a buffer of exactly its size.
      for (size_t n = 0; n <= text.size(); ++n) {
        const std::string prefix = text.substr(0, n);
        auto copy = exact_copy(prefix);
        const std::string view(reinterpret_cast<const char*>(copy.get()), n);
        expect_tiling(s.split, view, s.name);
        uint64_t position = 0, start = 0, end = 0;
        while (next_piece(s.split, copy.get(), n, position, start, end)) {}
      }
    }
  }
}

TEST(Walk, SubMatchersAtOrPastTheEndMatchNothing) {
  const PieceSplitter matchers[] = {
      split_next_cl100k, split_next_o200k, match_letters, match_digits, match_punctuation,
      match_newlines, match_trailing_whitespace, match_whitespace_before_text,
      match_whitespace, match_word_lower, match_word_upper, match_punctuation_slash};
  const std::string text = "ab 1";
  for (PieceSplitter m : matchers) {
    Piece piece{};
    EXPECT_FALSE(m(bytes_of(text), text.size(), text.size(), &piece));
    EXPECT_FALSE(m(bytes_of(text), text.size(), text.size() + 5, &piece));
  }
}

// Random texts from a pool of tricky pieces: invalid bytes, overlong forms, surrogates,
// values above U+10FFFF, marks, apostrophes, line breaks, letters of several cases.
std::string random_tricky_text(std::mt19937_64& rng, size_t tokens) {
  static const char* const kPool[] = {
      "a", "Z", "\xC3\xA9", "\xC3\x89", "\xE4\xB8\xAD", "\xCA\xB0", "\xC7\x85", "\xCC\x81",
      "1", "\xC2\xB2", "\xE2\x85\xA0", "!", "/", "'", "\xE2\x80\x99", "s", "LL", "ve", " ",
      "  ", "\t", "\n", "\r", "\r\n", "\xC2\xA0", "\xC2\x85", "\xE3\x80\x80", "\xE1\xA0\x8E",
      "\xE2\x80\xA8", "\xF0\x9F\x98\x80", "\x80", "\xA0", "\x85", "\xC3", "\xE2\x80",
      "\xF0\x9F\x98", "\xC0\x8A", "\xE0\x80\x8D", "\xC0\xA0", "\xE0\x80\xA0", "\xED\xA0\x80",
      "\xF4\x90\x80\x80", "\xF8", "\xFF", std::string_view("\0", 1).data(), "\xEF\xBF\xBF",
      "\xE2\x80\x8B"};
  constexpr size_t kPoolSize = sizeof(kPool) / sizeof(kPool[0]);
  std::string text;
  for (size_t i = 0; i < tokens; ++i) {
    const char* piece = kPool[rng() % kPoolSize];
    if (piece[0] == '\0') text.push_back('\0'); else text += piece;
  }
  return text;
}

TEST(Walk, RandomInputsTileExactly) {
  std::mt19937_64 rng(20261208);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    if (round % 2 == 0) {
      const size_t n = rng() % 64;
      for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>(rng() & 0xFF));
    } else {
      text = random_tricky_text(rng, rng() % 48);
    }
    auto copy = exact_copy(text);
    const std::string view(reinterpret_cast<const char*>(copy.get()), text.size());
    for (const NamedSplitter& s : kSplitters) expect_tiling(s.split, view, s.name);
  }
}

TEST(Walk, HugeSinglePiecesTile) {
  const std::string units[] = {"a", "A", "!", " ", "\xE4\xB8\xAD", "\xCC\x81", "\xA0", "1"};
  for (const std::string& unit : units) {
    std::string text;
    while (text.size() < (1u << 20)) text += unit;
    for (const NamedSplitter& s : kSplitters) expect_tiling(s.split, text, s.name);
  }
}

}  // namespace
}  // namespace tessel
