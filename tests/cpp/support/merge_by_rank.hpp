#pragma once

// The reference encoder of the tests and fuzz targets (no test framework needed).

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/byte_pair_encoding.hpp"

namespace tessel::testing {

inline std::string token_string(const BytePairEncoding& model, uint32_t token) {
  return std::string(reinterpret_cast<const char*>(model.token_data(token)),
                     model.token_length(token));
}

// Plain byte-pair encoding: start from single bytes, repeatedly merge the neighbouring
// pair whose concatenation is the token of lowest id (leftmost on ties).
class MergeByRank {
 public:
  MergeByRank() = default;
  explicit MergeByRank(const BytePairEncoding& model) {
    for (uint32_t i = 0; i < model.token_count; ++i) ids_.emplace(token_string(model, i), i);
  }

  // Appends a token with the next id; false (and nothing added) when it is already there.
  bool add(const std::string& token) {
    return ids_.emplace(token, static_cast<uint32_t>(ids_.size())).second;
  }
  uint32_t size() const { return static_cast<uint32_t>(ids_.size()); }

  std::vector<uint32_t> encode(std::string_view text) const {
    std::vector<std::string> parts;
    for (char c : text) parts.emplace_back(1, c);
    std::vector<uint32_t> ranks(parts.size() > 0 ? parts.size() - 1 : 0);
    for (size_t i = 0; i + 1 < parts.size(); ++i) ranks[i] = rank_of(parts[i] + parts[i + 1]);
    while (!ranks.empty()) {
      size_t best = 0;
      for (size_t i = 1; i < ranks.size(); ++i) {
        if (ranks[i] < ranks[best]) best = i;
      }
      if (ranks[best] == kNoToken) break;
      parts[best] += parts[best + 1];
      parts.erase(parts.begin() + best + 1);
      ranks.erase(ranks.begin() + best);
      if (best < ranks.size()) ranks[best] = rank_of(parts[best] + parts[best + 1]);
      if (best > 0) ranks[best - 1] = rank_of(parts[best - 1] + parts[best]);
    }
    std::vector<uint32_t> ids;
    for (const std::string& part : parts) ids.push_back(rank_of(part));
    return ids;
  }

 private:
  uint32_t rank_of(const std::string& s) const {
    const auto it = ids_.find(s);
    return it == ids_.end() ? kNoToken : it->second;
  }
  std::unordered_map<std::string, uint32_t> ids_;
};

}  // namespace tessel::testing
