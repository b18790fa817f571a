#include "model/image_format.hpp"

#include "model/little_endian.hpp"

namespace tessel {

namespace {

// Field offsets within the header; the automata follow in records of three words.
constexpr size_t kTokenCountAt = 0;
constexpr size_t kHashMultiplierAt = 4;  // 64-bit, not 8-aligned
constexpr size_t kTokenHashCapacityAt = 12;
constexpr size_t kTokenHashCountAt = 16;
constexpr size_t kPairCapacityAt = 20;
constexpr size_t kPairCountAt = 24;
constexpr size_t kAutomataAt = 28;
constexpr size_t kAutomatonFieldsSize = 12;
static_assert(kAutomataAt + kImageAutomata * kAutomatonFieldsSize == kImageHeaderSize);

}  // namespace

ImageHeader read_image_header(const uint8_t bytes[kImageHeaderSize]) {
  ImageHeader h;
  h.token_count = read_le32(bytes + kTokenCountAt);
  h.hash_multiplier = read_le64(bytes + kHashMultiplierAt);
  h.token_hash_capacity = read_le32(bytes + kTokenHashCapacityAt);
  h.token_hash_count = read_le32(bytes + kTokenHashCountAt);
  h.pair_capacity = read_le32(bytes + kPairCapacityAt);
  h.pair_count = read_le32(bytes + kPairCountAt);
  for (int k = 0; k < kImageAutomata; ++k) {
    const uint8_t* fields = bytes + kAutomataAt + kAutomatonFieldsSize * k;
    h.automata[k].state_count = static_cast<int32_t>(read_le32(fields));
    h.automata[k].output_count = static_cast<int32_t>(read_le32(fields + 4));
    h.automata[k].kind = read_le32(fields + 8);
  }
  return h;
}

void write_image_header(const ImageHeader& h, uint8_t bytes[kImageHeaderSize]) {
  write_le32(bytes + kTokenCountAt, h.token_count);
  write_le64(bytes + kHashMultiplierAt, h.hash_multiplier);
  write_le32(bytes + kTokenHashCapacityAt, h.token_hash_capacity);
  write_le32(bytes + kTokenHashCountAt, h.token_hash_count);
  write_le32(bytes + kPairCapacityAt, h.pair_capacity);
  write_le32(bytes + kPairCountAt, h.pair_count);
  for (int k = 0; k < kImageAutomata; ++k) {
    uint8_t* fields = bytes + kAutomataAt + kAutomatonFieldsSize * k;
    write_le32(fields, static_cast<uint32_t>(h.automata[k].state_count));
    write_le32(fields + 4, static_cast<uint32_t>(h.automata[k].output_count));
    write_le32(fields + 8, h.automata[k].kind);
  }
}

std::optional<ImageLayout> image_layout(const ImageHeader& h) {
  ImageLayout layout;
  const uint64_t n = h.token_count;
  uint64_t at = kImageHeaderSize;
  const auto section = [&at](uint64_t bytes) {
    const uint64_t start = at;
    at += bytes;
    return start;
  };
  layout.merge_left = section(4 * n);
  layout.merge_right = section(4 * n);
  layout.longest_proper_prefix = section(4 * n);
  layout.token_hash_table = section(8ull * h.token_hash_capacity);
  layout.pair_table = section(12ull * h.pair_capacity);
  for (int k = 0; k < kImageAutomata; ++k) {
    const ImageHeader::Automaton& a = h.automata[k];
    if (a.state_count < 0 || a.output_count < 0) return std::nullopt;
    const uint64_t states = static_cast<uint64_t>(a.state_count);
    if (k == 1) layout.read_end = at;
    layout.automata[k].states = section(16 * states);
    layout.automata[k].outputs = section(12 * static_cast<uint64_t>(a.output_count));
    layout.automata[k].base = section(4 * states);
    layout.automata[k].check = section(4 * states);
  }
  layout.size = at;
  return layout;
}

DigestedRanges digested_sections(const ImageLayout& layout) {
  const ImageLayout::Automaton& forward = layout.automata[0];
  DigestedRanges at;
  at[kHeaderSection] = {0, kImageHeaderSize};
  at[kMergeLeftSection] = {layout.merge_left, layout.merge_right};
  at[kMergeRightSection] = {layout.merge_right, layout.longest_proper_prefix};
  at[kPrefixSection] = {layout.longest_proper_prefix, layout.token_hash_table};
  at[kPairSection] = {layout.pair_table, forward.states};
  at[kStatesSection] = {forward.states, forward.outputs};
  at[kOutputsSection] = {forward.outputs, forward.base};
  at[kBaseSection] = {forward.base, forward.check};
  at[kCheckSection] = {forward.check, layout.read_end};
  return at;
}

std::optional<uint64_t> image_size_from_header(const uint8_t* image, size_t size) {
  if (image == nullptr || size < kImageHeaderSize) return std::nullopt;
  const std::optional<ImageLayout> layout = image_layout(read_image_header(image));
  if (!layout) return std::nullopt;
  return layout->size;
}

}  // namespace tessel
