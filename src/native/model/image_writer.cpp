#include "model/image_writer.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "model/image_format.hpp"
#include "model/little_endian.hpp"

namespace tessel {

namespace {

// Records are 32-bit words; stored little-endian.
template <typename T>
bool write_records(ImageSink& sink, const std::vector<T>& records) {
  static_assert(sizeof(T) % 4 == 0);
  const auto* bytes = reinterpret_cast<const uint8_t*>(records.data());
  const size_t size = records.size() * sizeof(T);
  if constexpr (std::endian::native == std::endian::little) {
    return size == 0 || sink.write(bytes, size);
  } else {
    uint8_t chunk[1 << 14];
    for (size_t at = 0; at < size; at += sizeof(chunk)) {
      const size_t part = std::min(sizeof(chunk), size - at);
      std::memcpy(chunk, bytes + at, part);
      swap_words_if_big_endian(chunk, part);
      if (!sink.write(chunk, part)) return false;
    }
    return true;
  }
}

class BufferSink final : public ImageSink {
 public:
  bool write(const void* bytes, size_t size) override {
    const auto* p = static_cast<const uint8_t*>(bytes);
    out.insert(out.end(), p, p + size);
    return true;
  }
  std::vector<uint8_t> out;
};

// Digests the first `limit` bytes written and ignores the rest.
class DigestSink final : public ImageSink {
 public:
  explicit DigestSink(uint64_t limit) : left_(limit) {}
  bool write(const void* bytes, size_t size) override {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(size, left_));
    digester.update(bytes, take);
    left_ -= take;
    return true;
  }
  ImageDigester digester;

 private:
  uint64_t left_;
};

ImageHeader header_of(const BytePairEncoding& model) {
  ImageHeader h;
  h.token_count = model.token_count;
  h.hash_multiplier = model.hash_multiplier;
  h.token_hash_capacity = model.token_hash_capacity;
  h.token_hash_count = model.token_hash_count;
  h.pair_capacity = model.pair_capacity;
  h.pair_count = model.pair_count;
  const MatchAutomaton* automata[kImageAutomata] = {model.forward_automaton.get(),
                                                    model.second_forward_automaton.get(),
                                                    model.reverse_automaton.get()};
  for (int k = 0; k < kImageAutomata; ++k) {
    h.automata[k] = {automata[k]->state_count, automata[k]->output_count, automata[k]->kind};
  }
  return h;
}

}  // namespace

bool write_model_image(const BytePairEncoding& model, ImageSink& sink) {
  uint8_t header[kImageHeaderSize];
  write_image_header(header_of(model), header);
  if (!sink.write(header, sizeof(header)) || !write_records(sink, model.merge_left) ||
      !write_records(sink, model.merge_right) ||
      !write_records(sink, model.longest_proper_prefix) ||
      !write_records(sink, model.token_hash_table) || !write_records(sink, model.pair_table)) {
    return false;
  }
  for (const MatchAutomaton* a : {model.forward_automaton.get(),
                                  model.second_forward_automaton.get(),
                                  model.reverse_automaton.get()}) {
    if (!write_records(sink, a->states) || !write_records(sink, a->outputs) ||
        !write_records(sink, a->base) || !write_records(sink, a->check)) {
      return false;
    }
  }
  return true;
}

std::vector<uint8_t> serialize_model_image(const BytePairEncoding& model) {
  BufferSink sink;
  write_model_image(model, sink);
  return std::move(sink.out);
}

ImageDigest model_image_digest(const BytePairEncoding& model) {
  DigestSink sink(image_layout(header_of(model))->read_end);
  write_model_image(model, sink);
  return sink.digester.finish();
}

std::optional<ImageDigest> image_digest(const uint8_t* image, size_t size) {
  if (image == nullptr || size < kImageHeaderSize) return std::nullopt;
  const std::optional<ImageLayout> layout = image_layout(read_image_header(image));
  if (!layout || layout->read_end > size) return std::nullopt;
  ImageDigester digester;
  digester.update(image, layout->read_end);
  return digester.finish();
}

}  // namespace tessel
