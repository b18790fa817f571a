#pragma once

// Serialises a model into the precomputed image format that model_from_image reads.
// Used by the image-writer tool and by the tests; the library itself never writes images.

#include <cstdint>
#include <cstring>
#include <vector>

#include "model/byte_pair_encoding.hpp"
#include "model/model_image.hpp"

namespace tessel {

class ImageWriter {
 public:
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  template <typename T>
  void words(const std::vector<T>& records) {
    static_assert(sizeof(T) % 4 == 0);
    const size_t count = records.size() * sizeof(T) / 4;
    const auto* raw = reinterpret_cast<const uint8_t*>(records.data());
    for (size_t i = 0; i < count; ++i) {
      uint32_t word;
      std::memcpy(&word, raw + 4 * i, 4);
      u32(word);
    }
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

inline std::vector<uint8_t> serialize_model_image(const BytePairEncoding& model) {
  const MatchAutomaton* automata[3] = {model.forward_automaton.get(),
                                       model.second_forward_automaton.get(),
                                       model.reverse_automaton.get()};
  ImageWriter out;
  out.u32(model.token_count);
  out.u32(static_cast<uint32_t>(model.hash_multiplier));
  out.u32(static_cast<uint32_t>(model.hash_multiplier >> 32));
  out.u32(model.token_hash_capacity);
  out.u32(model.token_hash_count);
  out.u32(model.pair_capacity);
  out.u32(model.pair_count);
  for (const MatchAutomaton* a : automata) {
    out.u32(static_cast<uint32_t>(a->state_count));
    out.u32(static_cast<uint32_t>(a->output_count));
    out.u32(a->kind);
  }
  out.words(model.merge_left);
  out.words(model.merge_right);
  out.words(model.longest_proper_prefix);
  out.words(model.token_hash_table);
  out.words(model.pair_table);
  for (const MatchAutomaton* a : automata) {
    out.words(a->states);
    out.words(a->outputs);
    out.words(a->base);
    out.words(a->check);
  }
  return std::move(out.bytes());
}

}  // namespace tessel
