// Building a model from a vocabulary: tables, merges and pair compatibility.
#include <gtest/gtest.h>

#include "model/model_builder.hpp"
#include "model/pair_compatibility.hpp"
#include "support/model_fixtures.hpp"

namespace tessel {
namespace {

using testing::Vocabulary;

TEST(Builder, SingleBytesOnly) {
  const auto model = testing::bytes_then({}).build();
  EXPECT_EQ(model->token_hash_capacity, 1024u);
  EXPECT_EQ(model->pair_capacity, 1024u);
  EXPECT_EQ(model->pair_count, 0u);
  EXPECT_EQ(model->token_hash_count, 256u);
  for (uint32_t i = 0; i < 256; ++i) {
    EXPECT_EQ(model->longest_proper_prefix[i], kNoToken);
    EXPECT_EQ(model->merge_left[i], i);
    EXPECT_EQ(model->merge_right[i], i);
  }
}

TEST(Builder, SmallVocabularies) {
  const auto three = Vocabulary({"a", "b", "c"}).build();
  EXPECT_EQ(three->token_hash_capacity, 16u);
  EXPECT_EQ(three->pair_capacity, 16u);

  const auto abc = Vocabulary({"a", "b", "c", "ab", "abc"}).build();
  EXPECT_EQ(abc->longest_proper_prefix, (std::vector<uint32_t>{kNoToken, kNoToken, kNoToken, 0, 3}));
  EXPECT_EQ(abc->merge_left[3], 0u);
  EXPECT_EQ(abc->merge_right[3], 1u);
  EXPECT_EQ(abc->merge_left[4], 3u);
  EXPECT_EQ(abc->merge_right[4], 2u);
  EXPECT_EQ(abc->pair_count, 2u);
  EXPECT_EQ(pair_lookup(*abc, 3, 2), 4u);

  // Neither "ab"+"cd" nor "a"+"bcd" exists: token 5 keeps the identity merge.
  const auto abcd = Vocabulary({"a", "b", "c", "d", "ab", "abcd"}).build();
  EXPECT_EQ(abcd->merge_left[5], 5u);
  EXPECT_EQ(abcd->merge_right[5], 5u);
  EXPECT_EQ(abcd->pair_count, 1u);

  // "abc" (id 4) finds "ab" (id 5) as its longest prefix, a later token: the split is
  // rejected and the shorter prefix "a" with remainder "bc" is taken instead.
  const auto rejected = Vocabulary({"a", "b", "c", "bc", "abc", "ab"}).build();
  EXPECT_EQ(rejected->merge_left[4], 0u);
  EXPECT_EQ(rejected->merge_right[4], 3u);
}

TEST(Builder, PairCompatibility) {
  // b c -> 256, a b -> 257 over the single bytes.
  const auto model = testing::bytes_then({"bc", "ab"}).build();
  EXPECT_FALSE(pair_is_compatible(*model, 'a', 'b'));  // an entry in the pair table
  EXPECT_FALSE(pair_is_compatible(*model, 'b', 'c'));
  EXPECT_TRUE(pair_is_compatible(*model, 'a', 'c'));  // base tokens without an entry
  EXPECT_FALSE(pair_is_compatible(*model, 257, 'c'));  // (b, c) merges before 257
  EXPECT_TRUE(pair_is_compatible(*model, 'a', 256));   // (a, b) merges after 256
}

struct BuildFigures {
  const EmbeddedVocab* vocab;
  uint32_t capacity;
  uint32_t pairs;
};

class BuiltinBuild : public ::testing::TestWithParam<BuildFigures> {};

TEST_P(BuiltinBuild, CapacitiesCountsAndDeterminism) {
  const BuildFigures& f = GetParam();
  const BytePairEncoding& model = testing::built_model(*f.vocab);
  EXPECT_EQ(model.token_hash_capacity, f.capacity);
  EXPECT_EQ(model.pair_capacity, f.capacity);
  EXPECT_EQ(model.token_hash_count, f.vocab->token_count);
  EXPECT_EQ(model.pair_count, f.pairs);
  for (uint32_t i = 0; i < model.token_count; ++i) {
    const uint32_t p = model.longest_proper_prefix[i];
    ASSERT_EQ(p == kNoToken, model.token_length(i) == 1) << i;
    if (p != kNoToken) {
      ASSERT_EQ(testing::token_string(model, i).rfind(testing::token_string(model, p), 0), 0u);
    }
    // Every longer token gets a merge in both built-in vocabularies.
    ASSERT_EQ(model.merge_left[i] == i, i < 256) << i;
  }
  // A model built for encoding only has the same tables as far as encoding reads them.
  const auto again = build_model(f.vocab->token_bytes, f.vocab->token_starts, f.vocab->token_count);
  EXPECT_EQ(again->forward_automaton, nullptr);
  EXPECT_EQ(again->reverse_automaton, nullptr);
  testing::expect_same_encoding_tables(model, *again);
}

INSTANTIATE_TEST_SUITE_P(Vocabularies, BuiltinBuild,
                         ::testing::Values(BuildFigures{&embedded_cl100k_base, 524288, 100000},
                                           BuildFigures{&embedded_o200k_base, 1048576, 199742}),
                         [](const auto& info) { return std::string(info.param.vocab->name); });

TEST(Builder, TokenHashCollisions) {
  for (const EmbeddedVocab* vocab : testing::kBuiltinVocabs) {
    const BytePairEncoding& model = testing::built_model(*vocab);
    std::unordered_map<uint32_t, uint32_t> first;
    std::vector<std::pair<uint32_t, uint32_t>> collisions;
    for (uint32_t i = 0; i < model.token_count; ++i) {
      const uint32_t h = token_hash32(model.token_data(i), model.token_length(i), kHashMultiplier);
      const auto [it, inserted] = first.emplace(h, i);
      if (!inserted) collisions.emplace_back(it->second, i);
    }
    if (vocab == &embedded_cl100k_base) {
      EXPECT_TRUE(collisions.empty());
    } else {
      const std::vector<std::pair<uint32_t, uint32_t>> expected = {
          {12622, 87215}, {24008, 79511}, {38717, 176506},
          {65316, 115185}, {68905, 73962}, {98010, 125259}};
      std::sort(collisions.begin(), collisions.end());
      EXPECT_EQ(collisions, expected);
      // The later token of a colliding pair is still found as a merge half.
      EXPECT_EQ(model.merge_left[143962], 6030u);
      EXPECT_EQ(model.merge_right[143962], 79511u);
    }
  }
}

}  // namespace
}  // namespace tessel
