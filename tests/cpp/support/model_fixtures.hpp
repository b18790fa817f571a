#pragma once

// Shared test helpers: built models of the embedded vocabularies (built once per test
// executable), small vocabularies, the merge-by-rank reference encoder, and inputs.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "data/embedded_vocab.hpp"
#include "model/byte_pair_encoding.hpp"
#include "model/model_builder.hpp"
#include "support/merge_by_rank.hpp"

namespace tessel::testing {

inline const BytePairEncoding& built_model(const EmbeddedVocab& vocab) {
  static std::map<const EmbeddedVocab*, std::unique_ptr<BytePairEncoding>> cache;
  auto& slot = cache[&vocab];
  if (!slot) {
    slot = build_model(vocab.token_bytes, vocab.token_starts, vocab.token_count,
                       ModelTables::kImage);
  }
  return *slot;
}

inline const EmbeddedVocab* const kBuiltinVocabs[] = {&embedded_cl100k_base,
                                                      &embedded_o200k_base};

// Token strings in id order, as build_model takes them.
struct Vocabulary {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> starts{0};

  explicit Vocabulary(const std::vector<std::string>& tokens) {
    for (const std::string& token : tokens) add(token);
  }
  void add(std::string_view token) {
    bytes.insert(bytes.end(), token.begin(), token.end());
    starts.push_back(static_cast<uint32_t>(bytes.size()));
  }
  uint32_t size() const { return static_cast<uint32_t>(starts.size() - 1); }
  std::unique_ptr<BytePairEncoding> build() const {
    return build_model(bytes.data(), starts.data(), size());
  }
};

// The 256 single bytes in byte order, then the given tokens.
inline Vocabulary bytes_then(const std::vector<std::string>& tokens) {
  Vocabulary vocab({});
  for (int b = 0; b < 256; ++b) vocab.add(std::string(1, static_cast<char>(b)));
  for (const std::string& token : tokens) vocab.add(token);
  return vocab;
}

inline const uint8_t* bytes_of(std::string_view s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

inline std::string random_bytes(std::mt19937_64& rng, size_t length, int alphabet = 256) {
  std::string s(length, '\0');
  for (char& c : s) c = static_cast<char>(rng() % alphabet);
  return s;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Real text of this machine: English prose, C and C++ headers, the interpreter's Python
// sources and its CJK sample texts (the stdlib directory comes from TESSEL_PYTHON_STDLIB,
// set by CTest).
inline std::vector<std::string> real_texts() {
  std::vector<std::string> paths = {"/usr/share/common-licenses/GPL-3",
                                    "/usr/share/common-licenses/Apache-2.0",
                                    "/usr/include/stdlib.h", "/usr/include/c++/12/bits/stl_tree.h"};
  if (const char* stdlib = std::getenv("TESSEL_PYTHON_STDLIB")) {
    const std::string lib(stdlib);
    for (const char* name : {"/textwrap.py", "/json/decoder.py", "/test/cjkencodings/gb2312-utf8.txt",
                             "/test/cjkencodings/shift_jis-utf8.txt",
                             "/test/cjkencodings/cp949-utf8.txt"}) {
      paths.push_back(lib + name);
    }
  }
  std::vector<std::string> texts;
  for (const std::string& path : paths) {
    std::string text = read_file(path);
    if (!text.empty()) texts.push_back(std::move(text));
  }
  return texts;
}

// Whether two arrays of plain records hold the same bytes.
template <typename Array>
bool same_words(const Array& x, const Array& y) {
  return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(x[0])) == 0;
}

// The tables encoding and decoding read are equal, slot for slot.
inline void expect_same_encoding_tables(const BytePairEncoding& a, const BytePairEncoding& b) {
  EXPECT_EQ(a.token_count, b.token_count);
  EXPECT_EQ(a.token_bytes, b.token_bytes);
  EXPECT_EQ(a.token_starts, b.token_starts);
  EXPECT_EQ(a.hash_multiplier, b.hash_multiplier);
  EXPECT_EQ(a.token_hash_capacity, b.token_hash_capacity);
  EXPECT_EQ(a.token_hash_count, b.token_hash_count);
  EXPECT_EQ(a.merge_left, b.merge_left);
  EXPECT_EQ(a.merge_right, b.merge_right);
  EXPECT_EQ(a.pair_capacity, b.pair_capacity);
  EXPECT_TRUE(same_words(a.pair_table, b.pair_table));
  EXPECT_EQ(a.longest_proper_prefix, b.longest_proper_prefix);
  EXPECT_TRUE(same_words(a.prefix_steps, b.prefix_steps));
  EXPECT_EQ(a.pair_filter, b.pair_filter);
  EXPECT_EQ(a.longest_token_length, b.longest_token_length);
}

// Every table of two kImage models is equal, slot for slot.
inline void expect_same_tables(const BytePairEncoding& a, const BytePairEncoding& b) {
  expect_same_encoding_tables(a, b);
  EXPECT_TRUE(same_words(a.token_hash_table, b.token_hash_table));
  EXPECT_EQ(a.pair_count, b.pair_count);
  const MatchAutomaton* pa[3] = {a.forward_automaton.get(), a.second_forward_automaton.get(),
                                 a.reverse_automaton.get()};
  const MatchAutomaton* pb[3] = {b.forward_automaton.get(), b.second_forward_automaton.get(),
                                 b.reverse_automaton.get()};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(pa[k]->kind, pb[k]->kind);
    EXPECT_EQ(pa[k]->slot_count, pb[k]->slot_count);
    EXPECT_EQ(pa[k]->state_count, pb[k]->state_count);
    EXPECT_EQ(pa[k]->output_count, pb[k]->output_count);
    EXPECT_TRUE(same_words(pa[k]->states, pb[k]->states));
    EXPECT_TRUE(same_words(pa[k]->outputs, pb[k]->outputs));
    EXPECT_EQ(pa[k]->base, pb[k]->base);
    EXPECT_EQ(pa[k]->check, pb[k]->check);
  }
}

}  // namespace tessel::testing
