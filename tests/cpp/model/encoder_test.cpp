// The backtracking encoder against the merge-by-rank reference, and its drivers.
#include <gtest/gtest.h>

#include <random>

#include "model/backtrack_encoder.hpp"
#include "support/model_fixtures.hpp"

namespace tessel {
namespace {

using testing::bytes_of;

std::vector<uint32_t> encode(const BytePairEncoding& model, std::string_view s) {
  return backtrack_encode(model, bytes_of(s), s.size());
}

TEST(Encoder, BacktracksOutOfADeadEnd) {
  // b c -> 256, a b -> 257: "abc" first takes 257, finds c incompatible, and backs out.
  const auto model = testing::bytes_then({"bc", "ab"}).build();
  EXPECT_EQ(encode(*model, "abc"), (std::vector<uint32_t>{'a', 256}));
  EXPECT_EQ(encode(*model, "ab"), (std::vector<uint32_t>{257}));
  EXPECT_EQ(encode(*model, ""), (std::vector<uint32_t>{}));
  EXPECT_EQ(backtrack_count(*model, bytes_of("abc"), 3), 2u);
}

TEST(Encoder, EmptyInputAndLimits) {
  const BytePairEncoding& model = testing::built_model(embedded_cl100k_base);
  EXPECT_TRUE(encode(model, "").empty());
  EXPECT_EQ(backtrack_count(model, nullptr, 0), 0u);
  for (uint64_t limit : {uint64_t{0}, uint64_t{1}, kOverLimit}) {
    EXPECT_EQ(backtrack_count_till_limit(model, nullptr, 0, limit), 0u);
  }
  const std::string text = "The quick brown fox jumps over the lazy dog, twice.";
  const uint64_t count = backtrack_count(model, bytes_of(text), text.size());
  ASSERT_GT(count, 1u);
  const auto limited = [&](uint64_t limit) {
    return backtrack_count_till_limit(model, bytes_of(text), text.size(), limit);
  };
  EXPECT_EQ(limited(count), count);
  EXPECT_EQ(limited(count + 1), count);
  EXPECT_EQ(limited(count - 1), kOverLimit);
  EXPECT_EQ(limited(0), kOverLimit);
  // Limits near 2^64 neither wrap nor ask for a huge stack.
  for (uint64_t limit : {kOverLimit, kOverLimit - 5, kOverLimit - 16, uint64_t{1} << 40,
                         uint64_t{1000000000}}) {
    EXPECT_EQ(limited(limit), count) << limit;
  }
}

TEST(Encoder, GrowsTheStackForInputsOfManyTokens) {
  // No two of these bytes merge in cl100k_base beyond small tokens: many short tokens.
  const BytePairEncoding& model = testing::built_model(embedded_cl100k_base);
  std::string text;
  for (int i = 0; i < 3000; ++i) text += static_cast<char>(0x80 + i % 64);
  BacktrackRun run;
  backtrack_init(run, model, bytes_of(text), text.size(), 0);
  EXPECT_EQ(run.stack_capacity, text.size() / 3 + 16);
  backtrack_run_to_end(run);
  EXPECT_GT(run.stack_count, text.size() / 3 + 16);
  EXPECT_EQ(std::vector<uint32_t>(run.stack, run.stack + run.stack_count),
            testing::MergeByRank(model).encode(text));
  // A tiny initial stack doubles as often as needed and gives the same ids.
  BacktrackRun small;
  backtrack_init(small, model, bytes_of(text), text.size(), 1);
  backtrack_run_to_end(small);
  EXPECT_EQ(std::vector<uint32_t>(small.stack, small.stack + small.stack_count),
            std::vector<uint32_t>(run.stack, run.stack + run.stack_count));
}

TEST(Encoder, ScratchRunsEqualOwnRuns) {
  const BytePairEncoding& model = testing::built_model(embedded_o200k_base);
  EncodeScratch scratch;
  std::mt19937_64 rng(3);
  for (int i = 0; i < 200; ++i) {
    const std::string text = testing::random_bytes(rng, rng() % 300, i % 2 ? 256 : 8);
    BacktrackRun run;
    backtrack_init_scratch(run, model, bytes_of(text), text.size(), scratch);
    backtrack_run_to_end(run);
    ASSERT_EQ(std::vector<uint32_t>(run.stack, run.stack + run.stack_count), encode(model, text));
    ASSERT_GE(scratch.stack_capacity, text.size() / 3 + 16);
  }
}

TEST(Encoder, KnownIds) {
  const BytePairEncoding& o200k = testing::built_model(embedded_o200k_base);
  const std::string token = testing::token_string(o200k, 143962);
  EXPECT_EQ(encode(o200k, token), (std::vector<uint32_t>{143962}));
  EXPECT_EQ(encode(o200k, token + "u"), (std::vector<uint32_t>{6030, 546, 704, 825, 283}));
  const BytePairEncoding& cl100k = testing::built_model(embedded_cl100k_base);
  EXPECT_EQ(encode(cl100k, "hello"), (std::vector<uint32_t>{15339}));
  for (uint32_t b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(testing::token_string(cl100k, b)[0]));
    ASSERT_EQ(encode(cl100k, one), (std::vector<uint32_t>{b}));
  }
}

// Merges read from the dense table of the lowest ids must be right also where those ids are
// merged tokens rather than single bytes.
TEST(Encoder, MergesAmongTheLowestIdsEqualMergeByRank) {
  // Also without one byte (0xff), where the candidates come from the forward automaton
  // instead of the prefix steps.
  for (const bool every_byte : {true, false}) {
    testing::Vocabulary vocab({"a", "b", "c", "d", "ab", "cd", "bc", "abcd", "ca", "bca", "dab"});
    for (int b = 0; b < (every_byte ? 256 : 255); ++b) {
      if (b < 'a' || b > 'd') vocab.add(std::string(1, static_cast<char>(b)));
    }
    for (const char* token : {"aa", "dd", "abc", "cab", "db"}) vocab.add(token);
    const auto model = vocab.build();
    ASSERT_EQ(model->prefix_steps.empty(), !every_byte);
    const testing::MergeByRank reference(*model);
    std::mt19937_64 rng(7);
    for (int i = 0; i < 3000; ++i) {
      std::string s = testing::random_bytes(rng, rng() % 40, 5);
      for (char& c : s) c = "abcd "[static_cast<uint8_t>(c)];
      ASSERT_EQ(encode(*model, s), reference.encode(s)) << s;
    }
  }
}

class EqualsMergeByRank : public ::testing::TestWithParam<const EmbeddedVocab*> {};

TEST_P(EqualsMergeByRank, OnRandomBytesAndRealText) {
  const BytePairEncoding& model = testing::built_model(*GetParam());
  const testing::MergeByRank reference(model);
  std::mt19937_64 rng(42);
  std::vector<std::string> inputs;
  for (int i = 0; i < 1500; ++i) {
    // Small alphabets make long merges and deep backtracking likely.
    const int alphabet = i % 3 == 0 ? 256 : (i % 3 == 1 ? 4 : 40);
    std::string s = testing::random_bytes(rng, rng() % 64, alphabet);
    if (alphabet == 40) {
      for (char& c : s) c = " etaoinshrdlucmfwypvbgkqjxz.,\n'ETAOIN01"[static_cast<uint8_t>(c)];
    }
    inputs.push_back(s);
  }
  for (const std::string& text : testing::real_texts()) {
    for (size_t at = 0; at < text.size() && inputs.size() < 1800; at += 2000 + rng() % 5000) {
      inputs.push_back(text.substr(at, 50 + rng() % 400));
    }
  }
  for (const std::string& input : inputs) {
    const auto ids = encode(model, input);
    ASSERT_EQ(ids, reference.encode(input)) << "input of " << input.size() << " bytes";
    ASSERT_EQ(backtrack_count(model, bytes_of(input), input.size()), ids.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Vocabularies, EqualsMergeByRank, ::testing::ValuesIn(testing::kBuiltinVocabs),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
}  // namespace tessel
