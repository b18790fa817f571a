#include "model/image_writer.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "model/image_format.hpp"
#include "model/little_endian.hpp"
#include "model/section_digests.hpp"

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

class DigestSink final : public ImageSink {
 public:
  explicit DigestSink(const ImageLayout& layout) : digest(layout) {}
  bool write(const void* bytes, size_t size) override {
    digest.update(bytes, size);
    return true;
  }
  StreamedImageDigest digest;
};

ImageHeader tables_header(const BytePairEncoding& model) {
  ImageHeader h;
  h.token_count = model.token_count;
  h.hash_multiplier = model.hash_multiplier;
  h.token_hash_capacity = model.token_hash_capacity;
  h.token_hash_count = model.token_hash_count;
  h.pair_capacity = model.pair_capacity;
  h.pair_count = model.pair_count;
  return h;
}

ImageHeader::Automaton counts_of(const MatchAutomaton& a) {
  return {a.state_count, a.output_count, a.kind};
}

ImageHeader header_of(const BytePairEncoding& model) {
  ImageHeader h = tables_header(model);
  h.automata[0] = counts_of(*model.forward_automaton);
  h.automata[1] = counts_of(*model.second_forward_automaton);
  h.automata[2] = counts_of(*model.reverse_automaton);
  return h;
}

// Writes count records that make(i) produces, through a buffer of whole records.
template <typename T, typename Make>
bool write_made_records(ImageSink& sink, uint64_t count, Make&& make) {
  static_assert(sizeof(T) % 4 == 0);
  T chunk[(1 << 14) / sizeof(T)];
  constexpr uint64_t kPerChunk = sizeof(chunk) / sizeof(T);
  for (uint64_t first = 0; first < count; first += kPerChunk) {
    const uint64_t records = std::min(kPerChunk, count - first);
    for (uint64_t i = 0; i < records; ++i) chunk[i] = make(first + i);
    swap_words_if_big_endian(chunk, records * sizeof(T));
    if (!sink.write(chunk, records * sizeof(T))) return false;
  }
  return true;
}

// Automaton 0's sections from the packed steps and the recovered links.
bool write_forward_automaton(const std::vector<PrefixStep>& steps, const ForwardLinks& links,
                             ImageSink& sink) {
  const uint64_t slots = steps.size();
  return write_made_records<AutomatonState>(sink, slots, [&](uint64_t p) {
           return AutomatonState{links.fail[p], links.output[p], steps[p].token, steps[p].depth};
         }) &&
         write_records(sink, links.outputs) &&
         write_made_records<int32_t>(sink, slots, [&](uint64_t p) { return steps[p].base; }) &&
         write_made_records<int32_t>(sink, slots, [&](uint64_t p) { return steps[p].check; });
}

}  // namespace

bool write_header_and_tables(const ImageHeader& h, const BytePairEncoding& model,
                             ImageSink& sink) {
  uint8_t header[kImageHeaderSize];
  write_image_header(h, header);
  return sink.write(header, sizeof(header)) && write_records(sink, model.merge_left) &&
         write_records(sink, model.merge_right) &&
         write_records(sink, model.longest_proper_prefix) &&
         write_records(sink, model.token_hash_table) && write_records(sink, model.pair_table);
}

bool write_automaton_sections(const MatchAutomaton& a, ImageSink& sink) {
  return write_records(sink, a.states) && write_records(sink, a.outputs) &&
         write_records(sink, a.base) && write_records(sink, a.check);
}

bool write_model_image(const BytePairEncoding& model, ImageSink& sink) {
  if (!write_header_and_tables(header_of(model), model, sink)) return false;
  for (const MatchAutomaton* a : {model.forward_automaton.get(),
                                  model.second_forward_automaton.get(),
                                  model.reverse_automaton.get()}) {
    if (!write_automaton_sections(*a, sink)) return false;
  }
  return true;
}

ImageHeader encoding_model_image_header(const BytePairEncoding& model, int32_t forward_outputs,
                                        const ImageHeader::Automaton& reverse) {
  ImageHeader h = tables_header(model);
  const auto slots = static_cast<int32_t>(model.prefix_steps.size());
  h.automata[0] = {slots, forward_outputs, 0};
  h.automata[1] = {slots, forward_outputs, 1};
  h.automata[2] = reverse;
  return h;
}

bool write_forward_automata(const BytePairEncoding& model, const ForwardLinks& links,
                            ImageSink& sink) {
  // Automaton 1 is automaton 0 again; only its kind, in the header, differs.
  return write_forward_automaton(model.prefix_steps, links, sink) &&
         write_forward_automaton(model.prefix_steps, links, sink);
}

std::vector<uint8_t> serialize_model_image(const BytePairEncoding& model) {
  BufferSink sink;
  write_model_image(model, sink);
  return std::move(sink.out);
}

ImageDigest model_image_digest(const BytePairEncoding& model) {
  DigestSink sink(*image_layout(header_of(model)));
  write_model_image(model, sink);
  return sink.digest.finish();
}

std::optional<ImageDigest> image_digest(const uint8_t* image, size_t size) {
  if (image == nullptr || size < kImageHeaderSize) return std::nullopt;
  const std::optional<ImageLayout> layout = image_layout(read_image_header(image));
  if (!layout || layout->read_end > size) return std::nullopt;
  StreamedImageDigest digest(*layout);
  digest.update(image, layout->read_end);
  return digest.finish();
}

}  // namespace tessel
