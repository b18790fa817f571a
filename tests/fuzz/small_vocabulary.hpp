#pragma once

// Small vocabularies for the fuzz targets: the 256 single bytes, then merges as training
// would make them.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/model_builder.hpp"
#include "support/merge_by_rank.hpp"

namespace tessel::fuzz {

// Letters that merges join; text mapped onto them makes merges apply often.
inline constexpr char kSmallAlphabet[] = "abcd";
inline constexpr size_t kMaxSmallTokenLength = 12;

struct SmallVocabulary {
  std::vector<std::string> tokens;  // in id order
  testing::MergeByRank reference;

  std::unique_ptr<BytePairEncoding> build() const {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> starts{0};
    for (const std::string& token : tokens) {
      bytes.insert(bytes.end(), token.begin(), token.end());
      starts.push_back(static_cast<uint32_t>(bytes.size()));
    }
    return build_model(bytes.data(), starts.data(), static_cast<uint32_t>(tokens.size()));
  }
};

// Tries `merges` merges, each joining two tokens that pick(n) chooses among the n
// joinable ones (the alphabet's letters, the two bytes of "é", and earlier merges). When
// trained, a merge is kept only when the vocabulary so far encodes it as exactly its two
// halves, so that every token is reachable, as in a trained vocabulary; otherwise every
// new string is kept, reachable or not.
template <typename Pick>
SmallVocabulary joined_vocabulary(size_t merges, bool trained, Pick&& pick) {
  SmallVocabulary v;
  for (int b = 0; b < 256; ++b) {
    v.tokens.emplace_back(1, static_cast<char>(b));
    v.reference.add(v.tokens.back());
  }
  std::vector<uint32_t> joinable;
  for (const char* c = kSmallAlphabet; *c; ++c) joinable.push_back(static_cast<uint8_t>(*c));
  joinable.push_back(0xC3);
  joinable.push_back(0xA9);
  for (size_t i = 0; i < merges; ++i) {
    const std::string& left = v.tokens[joinable[pick(joinable.size())]];
    const std::string& right = v.tokens[joinable[pick(joinable.size())]];
    const std::string joined = left + right;
    if (joined.size() > kMaxSmallTokenLength) continue;
    if (trained && v.reference.encode(joined).size() != 2) continue;
    if (!v.reference.add(joined)) continue;
    joinable.push_back(static_cast<uint32_t>(v.tokens.size()));
    v.tokens.push_back(joined);
  }
  return v;
}

template <typename Pick>
SmallVocabulary trained_vocabulary(size_t merges, Pick&& pick) {
  return joined_vocabulary(merges, true, pick);
}

}  // namespace tessel::fuzz
