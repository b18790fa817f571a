// Hash functions, the pair table, and decoding.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "model/byte_pair_encoding.hpp"
#include "support/model_fixtures.hpp"

namespace tessel {
namespace {

using testing::bytes_of;

TEST(Hashes, KnownValues) {
  EXPECT_EQ(pair_hash32(0, 0), 0u);
  EXPECT_EQ(pair_hash32(1, 2), 0xf2c6924fu);
  EXPECT_EQ(pair_hash32(97, 98), 0x43fa59beu);
  EXPECT_EQ(fnv1a64(bytes_of("abc"), 3), 0xe71fa2190541574bull);
  EXPECT_EQ(token_hash32(bytes_of("abc"), 3, kHashMultiplier), 0xb3c865cdu);
  EXPECT_EQ(token_hash32(bytes_of(""), 0, kHashMultiplier), 0xda90e578u);
}

TEST(PairTable, GrowsWhenHalfFullAndKeepsEveryPair) {
  BytePairEncoding model;
  model.pair_capacity = 16;
  model.pair_table.assign(16, PairSlot{0, 0, kNoToken});
  std::mt19937_64 rng(7);
  std::vector<PairSlot> inserted;
  std::set<std::pair<uint32_t, uint32_t>> keys;
  for (uint32_t k = 0; k < 5000; ++k) {
    uint32_t left, right;
    do {
      left = static_cast<uint32_t>(rng() % 100000);
      right = static_cast<uint32_t>(rng() % 100000);
    } while (!keys.insert({left, right}).second);
    const uint32_t capacity_before = model.pair_capacity;
    pair_insert(model, left, right, k);
    // Growth happens exactly before the insertion for which 2k >= capacity.
    EXPECT_EQ(model.pair_capacity, 2 * k >= capacity_before ? 2 * capacity_before : capacity_before);
    inserted.push_back({left, right, k});
  }
  EXPECT_EQ(model.pair_count, 5000u);
  EXPECT_EQ(model.pair_table.size(), model.pair_capacity);
  for (const PairSlot& p : inserted) EXPECT_EQ(pair_lookup(model, p.left, p.right), p.merged);
  EXPECT_EQ(pair_lookup(model, 100001, 3), kNoToken);
}

class BuiltinTables : public ::testing::TestWithParam<const EmbeddedVocab*> {};

TEST_P(BuiltinTables, DecodesIdsAndRejectsOutOfRange) {
  const EmbeddedVocab& vocab = *GetParam();
  const BytePairEncoding& model = testing::built_model(vocab);

  std::vector<uint32_t> bytes(256);
  for (uint32_t i = 0; i < 256; ++i) bytes[i] = i;
  const auto decoded = decode_token_ids(model, bytes.data(), bytes.size());
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->size(), 256u);
  EXPECT_EQ(std::set<uint8_t>(decoded->begin(), decoded->end()).size(), 256u);
  EXPECT_EQ((*decoded)[0], '!');
  EXPECT_EQ((*decoded)[255], 0xAD);

  const auto empty = decode_token_ids(model, nullptr, 0);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());

  const std::vector<uint32_t> past_end = {model.token_count};
  EXPECT_FALSE(decode_token_ids(model, past_end.data(), 1).has_value());
  const std::vector<uint32_t> one_bad = {15, 16, model.token_count, 17};
  EXPECT_FALSE(decode_token_ids(model, one_bad.data(), one_bad.size()).has_value());
  const std::vector<uint32_t> none = {kNoToken};
  EXPECT_FALSE(decoded_size(model, none.data(), 1).has_value());
}

TEST_P(BuiltinTables, EveryMergeIsInThePairTable) {
  const BytePairEncoding& model = testing::built_model(*GetParam());
  uint32_t merges = 0;
  for (uint32_t i = 0; i < model.token_count; ++i) {
    if (model.merge_left[i] == i) {
      EXPECT_EQ(model.merge_right[i], i);
      continue;
    }
    ++merges;
    ASSERT_EQ(pair_lookup(model, model.merge_left[i], model.merge_right[i]), i);
    ASSERT_EQ(testing::token_string(model, model.merge_left[i]) +
                  testing::token_string(model, model.merge_right[i]),
              testing::token_string(model, i));
  }
  EXPECT_EQ(merges, model.pair_count);
}

INSTANTIATE_TEST_SUITE_P(Vocabularies, BuiltinTables, ::testing::ValuesIn(testing::kBuiltinVocabs),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
}  // namespace tessel
