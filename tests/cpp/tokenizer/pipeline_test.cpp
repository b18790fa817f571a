// Text-level encode and count with the built-in encodings.
#include <gtest/gtest.h>

#include <random>

#include "model/backtrack_encoder.hpp"
#include "model/spanned_parts.hpp"
#include "pretokenize/piece_walk.hpp"
#include "pretokenize/splitters.hpp"
#include "support/model_fixtures.hpp"
#include "tokenizer/piece_memo.hpp"
#include "tokenizer/builtin_encodings.hpp"
#include "tokenizer/tokenizer_model.hpp"

namespace tessel {
namespace {

using testing::bytes_of;

const TokenizerModel& tokenizer(BuiltinEncoding e) { return builtin_tokenizer(e); }

std::vector<uint32_t> encode(BuiltinEncoding e, std::string_view s) {
  return tokenizer_encode(tokenizer(e), bytes_of(s), s.size());
}

uint64_t count_till(BuiltinEncoding e, std::string_view s, uint64_t limit) {
  return tokenizer_count_till_limit(tokenizer(e), bytes_of(s), s.size(), limit);
}

constexpr BuiltinEncoding kEncodings[] = {BuiltinEncoding::cl100k_base, BuiltinEncoding::o200k_base};

TEST(Builtin, MadeOnFirstUseOnce) {
  EXPECT_STREQ(builtin_encoding_name(BuiltinEncoding::cl100k_base), "cl100k_base");
  EXPECT_STREQ(builtin_encoding_name(BuiltinEncoding::o200k_base), "o200k_base");
  EXPECT_FALSE(builtin_tokenizer_is_made(BuiltinEncoding::o200k_base));
  const TokenizerModel& first = tokenizer(BuiltinEncoding::cl100k_base);
  EXPECT_TRUE(builtin_tokenizer_is_made(BuiltinEncoding::cl100k_base));
  EXPECT_FALSE(builtin_tokenizer_is_made(BuiltinEncoding::o200k_base));
  EXPECT_EQ(&first, &tokenizer(BuiltinEncoding::cl100k_base));
  EXPECT_EQ(first.splitter, &split_next_cl100k);
  EXPECT_EQ(tokenizer(BuiltinEncoding::o200k_base).splitter, &split_next_o200k);
  // The exact mode shares the model and differs only in its splitter.
  const std::string_view text = "x\n \ny";
  for (const auto& [e, line_breaks] : {std::pair{BuiltinEncoding::cl100k_base, 27907u},
                                       std::pair{BuiltinEncoding::o200k_base, 47812u}}) {
    const TokenizerModel& exact = builtin_tokenizer(e, SplitMode::exact);
    EXPECT_EQ(exact.model, tokenizer(e).model);
    EXPECT_EQ(&exact, &builtin_tokenizer(e, SplitMode::exact));
    EXPECT_EQ(tokenizer_encode(exact, bytes_of(text), text.size()),
              (std::vector<uint32_t>{87, line_breaks, 88}));
  }
  EXPECT_EQ(encode(BuiltinEncoding::cl100k_base, "x\n \ny"), (std::vector<uint32_t>{87, 198, 720, 88}));
}

TEST(Pipeline, KnownIds) {
  EXPECT_EQ(encode(BuiltinEncoding::cl100k_base, "hello world"), (std::vector<uint32_t>{15339, 1917}));
  EXPECT_EQ(encode(BuiltinEncoding::o200k_base, "hello world"), (std::vector<uint32_t>{24912, 2375}));
  EXPECT_EQ(encode(BuiltinEncoding::cl100k_base, "a  b"), (std::vector<uint32_t>{64, 220, 293}));
  for (BuiltinEncoding e : kEncodings) {
    EXPECT_TRUE(encode(e, "").empty());
    EXPECT_EQ(tokenizer_count(tokenizer(e), nullptr, 0), 0u);
    for (uint64_t limit : {uint64_t{0}, uint64_t{5}, kOverLimit}) EXPECT_EQ(count_till(e, "", limit), 0u);
  }
}

TEST(Pipeline, CountsAndLimits) {
  const std::string text = testing::real_texts().at(0).substr(0, 5000);
  for (BuiltinEncoding e : kEncodings) {
    const uint64_t n = encode(e, text).size();
    ASSERT_GT(n, 100u);
    EXPECT_EQ(tokenizer_count(tokenizer(e), bytes_of(text), text.size()), n);
    EXPECT_EQ(count_till(e, text, n), n);
    EXPECT_EQ(count_till(e, text, n - 1), kOverLimit);
    EXPECT_EQ(count_till(e, text, n / 2), kOverLimit);
    EXPECT_EQ(count_till(e, text, 0), kOverLimit);
    // One piece of many tokens is given up within the piece.
    const std::string many(3000, '\x80');
    EXPECT_EQ(count_till(e, many, 20), kOverLimit);
    EXPECT_EQ(count_till(e, many, 3000), tokenizer_count(tokenizer(e), bytes_of(many), many.size()));
    // Large limits neither wrap nor size anything by the limit.
    for (uint64_t limit : {n + 1, uint64_t{1000000}, uint64_t{4000000000}, kOverLimit - 3, kOverLimit}) {
      EXPECT_EQ(count_till(e, text, limit), n) << limit;
    }
  }
}

TEST(Pipeline, ResultGrowsByDoublingFrom256) {
  const TokenizerModel& t = tokenizer(BuiltinEncoding::cl100k_base);
  EXPECT_EQ(tokenizer_encode(t, bytes_of("x"), 1).capacity(), 256u);
  // One piece of 1,100 tokens: no two of these bytes merge.
  std::string piece;
  for (int i = 0; i < 1100; ++i) piece += static_cast<char>(0x80 + i % 2);
  const auto ids = tokenizer_encode(t, bytes_of(piece), piece.size());
  ASSERT_EQ(ids.size(), 1100u);
  EXPECT_EQ(ids.capacity(), 2048u);
}

// Ids of a text equal, piece by piece, the merge-by-rank encoding of each piece.
TEST(Pipeline, EqualsMergeByRankPieceByPiece) {
  std::mt19937_64 rng(1);
  for (BuiltinEncoding e : kEncodings) {
    const TokenizerModel& t = tokenizer(e);
    const testing::MergeByRank reference(*t.model);
    for (const std::string& text : testing::real_texts()) {
      const std::string part = text.substr(rng() % (text.size() / 2), 20000);
      std::vector<uint32_t> expected;
      uint64_t position = 0, start = 0, end = 0;
      while (next_piece(t.splitter, bytes_of(part), part.size(), position, start, end)) {
        const auto ids = reference.encode(std::string_view(part).substr(start, end - start));
        expected.insert(expected.end(), ids.begin(), ids.end());
      }
      ASSERT_EQ(tokenizer_encode(t, bytes_of(part), part.size()), expected);
    }
  }
}

// Any bytes encode without error, and the ids spell exactly the input.
TEST(Pipeline, AnyBytesRoundTrip) {
  std::mt19937_64 rng(2);
  const std::vector<std::string> tricky = {
      std::string("\x20\xA0\x78", 3), std::string("\x20\x20\xA0", 3), std::string("\x85\x85x", 3),
      std::string("\xC0\x8A\xE0\x80\x8A \n", 7), std::string("\0\0 \0", 4),
      "\xED\xA0\x80\xED\xB0\x80", "\xF4\x90\x80\x80\xF7\xBF\xBF\xBF", "abc\xE4\xB8", "\xF0\x9F\x98",
      std::string(" \xA0\xA0\xA0x", 5)};
  for (BuiltinEncoding e : kEncodings) {
    const TokenizerModel& t = tokenizer(e);
    std::vector<std::string> inputs = tricky;
    for (int i = 0; i < 500; ++i) inputs.push_back(testing::random_bytes(rng, rng() % 200));
    for (const std::string& input : inputs) {
      const auto ids = tokenizer_encode(t, bytes_of(input), input.size());
      const auto bytes = decode_token_ids(*t.model, ids.data(), ids.size());
      ASSERT_TRUE(bytes.has_value());
      ASSERT_EQ(std::string(bytes->begin(), bytes->end()), input);
      ASSERT_EQ(tokenizer_count(t, bytes_of(input), input.size()), ids.size());
    }
  }
}

// The whole-token index answers like the stored hash table for every token string, for
// strings one byte shorter or longer, and for keys read right up to the end of a buffer.
TEST(Pipeline, WholeTokenIndexAgreesWithPrefixWalk) {
  for (BuiltinEncoding e : kEncodings) {
    const BytePairEncoding& m = *tokenizer(e).model;
    ASSERT_FALSE(m.whole_tokens.slots.empty());
    const auto lookup = [&](const std::string& key) {
      const std::vector<uint8_t> exact(key.begin(), key.end());  // nothing readable after it
      const uint64_t head = key_head(exact.data(), exact.size(), exact.size());
      return whole_token_lookup(m.whole_tokens, m.token_bytes.data(), m.token_starts.data(),
                                exact.data(), exact.size(), head,
                                key_hash(head, exact.data(), exact.size()));
    };
    for (uint32_t id = 0; id < m.token_count; ++id) {
      const std::string key = testing::token_string(m, id);
      ASSERT_EQ(lookup(key), id);
      for (const std::string& other : {key + "e", key.substr(0, key.size() - 1)}) {
        if (other.empty()) continue;
        ASSERT_EQ(lookup(other), whole_token_by_walk(m, bytes_of(other), other.size())) << id;
      }
    }
  }
}

// The fast walk (whole-token index, memo of multi-token pieces) gives the plain walk's ids
// on texts long enough for the memo, full of repeated and colliding pieces, keys of 7 to 65
// bytes and of few to more than 30 tokens, and last pieces that end within 8 bytes of the
// buffer's end.
TEST(Pipeline, FastWalkEqualsPlainWalk) {
  std::mt19937_64 rng(3);
  for (BuiltinEncoding e : kEncodings) {
    const TokenizerModel& t = tokenizer(e);
    const BytePairEncoding& m = *t.model;
    std::vector<std::string> inputs;
    for (const std::string& text : testing::real_texts()) {
      inputs.push_back(text.substr(rng() % (text.size() / 2), 40000));
    }
    // Pieces of token strings glued together, so that many are near-misses of tokens.
    std::vector<std::string> pool;
    while (pool.size() < 400) {
      std::string piece;
      const size_t want = std::vector<size_t>{7, 8, 9, 16, 17, 24, 25, 40, 64, 65}[rng() % 10];
      while (piece.size() < want) piece += testing::token_string(m, rng() % m.token_count);
      pool.push_back(piece.substr(0, want));
    }
    for (int round = 0; round < 3; ++round) {
      std::string soup;
      const std::string_view separators(" \t\n'9\0", 6);
      while (soup.size() < 20000) soup += pool[rng() % pool.size()] + separators[rng() % 6];
      inputs.push_back(soup);
    }
    // Words of 24 and 64 bytes that differ only within one 8-byte word of the key: memo
    // entries that share a set differ nowhere else.
    for (const std::string base : {" interestingconversation",
                                   " internationalizationofcommunicationinfrastructureandservicesnow"}) {
      std::string words;
      for (int i = 0; i < 6000; ++i) {
        std::string word = base;
        const size_t region = 8 * (rng() % (base.size() / 8));
        for (int k = 0; k < 2; ++k) word[std::max<size_t>(1, region + rng() % 8)] = 'a' + rng() % 26;
        words += word;
      }
      inputs.push_back(words);
    }
    // Words of random letters, about two bytes a token: those of up to 24 bytes and more
    // than 8 tokens are found through their short key, longer ones by their long key, and
    // those of more than 30 tokens are never remembered. Few enough to repeat, many enough
    // to push each other out of their sets.
    std::vector<std::string> lettered(3000);
    for (std::string& word : lettered) {
      word = " ";
      const size_t letters = std::vector<size_t>{15, 23, 40, 63, 64}[rng() % 5];
      while (word.size() <= letters) word += static_cast<char>('a' + rng() % 26);
    }
    std::string lettered_text;
    for (int i = 0; i < 12000; ++i) lettered_text += lettered[rng() % lettered.size()];
    inputs.push_back(lettered_text);
    // Base64-like text long enough that the memo leaves its pieces out and tries them again,
    // random letters that o200k_base splits into pieces seldom whole tokens, for as long,
    // then the words above, which the memo takes back.
    const std::string_view base64 =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string blob;
    while (blob.size() < 80000) blob += base64[rng() % base64.size()];
    while (blob.size() < 160000) blob += base64[rng() % 52];
    inputs.push_back(blob + lettered_text);
    inputs.push_back(testing::random_bytes(rng, 12000));
    for (const std::string& input : inputs) {
      for (size_t cut = 0; cut < 10; ++cut) {
        const std::vector<uint8_t> text(input.begin(), input.end() - cut);
        const auto ids = tokenizer_encode(t, text.data(), text.size());
        ASSERT_EQ(ids, tokenizer_encode_plain(t, text.data(), text.size()));
        ASSERT_EQ(tokenizer_count(t, text.data(), text.size()), ids.size());
        ASSERT_EQ(tokenizer_count_till_limit(t, text.data(), text.size(), ids.size()), ids.size());
        ASSERT_EQ(tokenizer_count_till_limit(t, text.data(), text.size(), ids.size() - 1), kOverLimit);
      }
    }
  }
}

// A piece split into spanned parts, the short ones merged, gets the backtracking
// encoder's ids: random pieces of one long part and of many, long runs amid short parts,
// and parts of every length around the hand-overs to backtracking, ASCII and not; one id
// fewer allowed gives up.
TEST(Pipeline, SpannedPartsEqualBacktracking) {
  std::mt19937_64 rng(4);
  const std::string alphabets[] = {
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ", "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~",
      "abcdefghijklmnopqrstuvwxyz0123456789+/=", "aaaab", "\xe4\xb8\xad\xe6\x96\x87\xc3\xa9 ab"};
  // Runs whose neighbouring bytes all share a token: "ab" and box-drawing lines.
  const std::string runs[] = {"ab", "\xe2\x94\x80"};
  for (BuiltinEncoding e : kEncodings) {
    const BytePairEncoding& m = *tokenizer(e).model;
    EncodeScratch scratch;
    PartIds gathered;
    const auto expect_backtracking_ids = [&](const std::string& piece) {
      const uint8_t* bytes = bytes_of(piece);
      const std::vector<uint32_t> expected = backtrack_encode(m, bytes, piece.size());
      // As the pipeline does, the search may hold 10 ids more than it may keep.
      const PieceIds got = encode_by_spanned_parts(m, bytes, piece.size(), expected.size() + 10,
                                                   scratch, gathered);
      ASSERT_EQ(std::vector<uint32_t>(got.ids, got.ids + got.count), expected) << piece;
      ASSERT_EQ(encode_by_spanned_parts(m, bytes, piece.size(), expected.size() - 1, scratch,
                                        gathered).count, kOverLimit);
    };
    for (int i = 0; i < 4000; ++i) {
      const std::string& alphabet = alphabets[i % 5];
      std::string piece;
      const size_t length = 1 + rng() % (i % 3 == 0 ? 400 : 40);
      while (piece.size() < length) piece += alphabet[rng() % alphabet.size()];
      // A run longer than a merged part, between short parts.
      if (i % 7 == 0) piece.insert(piece.size() / 2, std::string(50 + rng() % 100, 'a'));
      expect_backtracking_ids(piece);
    }
    // A byte that no token holds beside any byte of the runs bounds them as parts.
    const auto unspanned_beside_runs = [&](uint32_t x) {
      for (const std::string& run : runs) {
        for (const char c : run) {
          if (m.byte_pair_merges[byte_pair_index(x, c)] != kUnspannedPair ||
              m.byte_pair_merges[byte_pair_index(c, x)] != kUnspannedPair) {
            return false;
          }
        }
      }
      return true;
    };
    uint32_t separator = 0;
    while (separator < 256 && !unspanned_beside_runs(separator)) ++separator;
    ASSERT_LT(separator, 256u);
    std::vector<uint64_t> part_lengths;
    for (uint64_t n = 1; n <= 2 * kMergedPartBytes; ++n) part_lengths.push_back(n);
    for (uint64_t n = kScannedPartBytes - 1; n <= kScannedPartBytes + 2; ++n) {
      part_lengths.push_back(n);
    }
    for (const std::string& run : runs) {
      for (const uint64_t n : part_lengths) {
        std::string piece(1, static_cast<char>(separator));
        for (uint64_t k = 0; k < n; ++k) piece += run[k % run.size()];
        piece += static_cast<char>(separator);
        ASSERT_EQ(spanned_part_end(m, bytes_of(piece), 1, piece.size()), n + 1) << n;
        expect_backtracking_ids(piece);
        expect_backtracking_ids(piece + "xyz" + piece);
      }
    }
  }
}

// Keys that share a hash share a set and a tag: each is still told apart by its bytes, a
// set keeps the last pieces remembered in it (four short ones, two long ones), and a short
// piece of many ids is found through the long table.
TEST(Pipeline, MemoTellsApartPiecesOfOneHash) {
  for (const uint64_t length : {uint64_t{10}, uint64_t{40}}) {
    const size_t ways = length <= 24 ? 4 : 2;
    for (const uint32_t ids_each : {2u, 12u}) {
      const size_t kept = ids_each > 8 ? 2 : ways;
      PieceMemo memo;
      std::vector<std::string> pieces;
      const auto key_of = [&](const std::string& piece) {
        return PieceMemo::key_of(bytes_of(piece), length, length,
                                 key_head(bytes_of(piece), length, length));
      };
      const uint64_t hash = 0x5a5a5a5a5a5a5a5aull;
      for (uint32_t k = 0; k < 6; ++k) {
        pieces.push_back(std::string(length, 'a') + std::to_string(k));
        pieces.back().erase(0, pieces.back().size() - length);
        std::vector<uint32_t> ids(ids_each, k);
        memo.remember(key_of(pieces.back()), hash, ids.data(), ids.size());
        for (uint32_t j = 0; j <= k; ++j) {
          uint32_t count = 0;
          const uint32_t* found = memo.find(key_of(pieces[j]), hash, count);
          if (k - j >= kept) {
            ASSERT_EQ(found, nullptr) << length << " " << j << " " << k;
            continue;
          }
          ASSERT_NE(found, nullptr) << length << " " << j << " " << k;
          ASSERT_EQ(std::vector<uint32_t>(found, found + count), std::vector<uint32_t>(ids_each, j));
        }
      }
      uint32_t count = 0;
      EXPECT_EQ(memo.find(key_of(std::string(length, 'b')), hash, count), nullptr);
    }
  }
}

// A thread remembers multi-token pieces across calls, per model: a piece remembered under
// one model is never served under another, also when the other was made at the address
// of a freed one, or takes over the memo of a model used less recently.
TEST(Pipeline, RememberedPiecesStayWithTheirModel) {
  // "abc" is "ab" "c" under the first vocabulary, "a" "bc" under the second, "abc" under
  // the third; "abcd" is a multi-token piece under all three.
  const std::vector<std::vector<std::string>> vocabularies = {
      {"ab", "cd"}, {"bc"}, {"ab", "abc"}};
  const std::string text = "abc abcd abc abcd,abc";
  const auto expect_plain_ids = [&](const std::vector<std::string>& tokens) {
    const std::unique_ptr<BytePairEncoding> model = testing::bytes_then(tokens).build();
    const TokenizerModel t{model.get(), piece_splitter(SplitRules::cl100k, SplitMode::classic)};
    for (int repeat = 0; repeat < 2; ++repeat) {
      ASSERT_EQ(tokenizer_encode(t, bytes_of(text), text.size()),
                tokenizer_encode_plain(t, bytes_of(text), text.size()));
    }
  };
  for (int round = 0; round < 3; ++round) {
    for (const auto& tokens : vocabularies) expect_plain_ids(tokens);
  }
}

}  // namespace
}  // namespace tessel
