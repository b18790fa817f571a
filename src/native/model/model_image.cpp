#include "model/model_image.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "model/bulk_memory.hpp"
#include "model/little_endian.hpp"
#include "model/section_digests.hpp"

namespace tessel {

namespace {

class BufferSource final : public ImageSource {
 public:
  BufferSource(const uint8_t* image, size_t size) : ImageSource(size), image_(image) {}
  bool read_at(uint64_t offset, void* out, size_t length) override {
    if (offset > size() || length > size() - offset) return false;
    if (length != 0) std::memcpy(out, image_ + offset, length);
    return true;
  }

 private:
  const uint8_t* image_;
};

// Reads one section of an image front to back, digesting every byte it hands out. Each
// section has its own digest, so that sections can be read on different threads.
class SectionReader {
 public:
  SectionReader(ImageSource& source, const ByteRange& section)
      : source_(source), offset_(section.begin), end_(section.end) {}

  bool read(void* out, size_t length) {
    if (length > end_ - offset_ || !source_.read_at(offset_, out, length)) return false;
    digester_.update(out, length);
    offset_ += length;
    return true;
  }

  // Reads count records of 32-bit little-endian words, converted to native ones.
  template <typename T>
  bool read_records(T* out, uint64_t count) {
    static_assert(sizeof(T) % 4 == 0);
    if (!read(out, count * sizeof(T))) return false;
    swap_words_if_big_endian(out, count * sizeof(T));
    return true;
  }

  // Reads count records into out, in pieces that are digested, handed to
  // inspect(records, count) and appended while they are still in cache: digesting and
  // checking whole sections afterwards read them twice more from memory (the checking
  // pass after the reading took 10 ms of CPU time for cl100k_base, what remains of it
  // 3 ms). Appending, rather than reading into a filled array, writes the array once
  // (no change in time measurable on the development machine; one pass less over fresh
  // memory).
  template <typename T, typename Inspect>
  bool read_records(std::vector<T>& out, uint64_t count, Inspect&& inspect) {
    reserve_for_filling(out, count);
    std::vector<T> piece(std::min<uint64_t>(kPieceBytes / sizeof(T), count));
    for (uint64_t first = 0; first < count; first += piece.size()) {
      const uint64_t records = std::min<uint64_t>(piece.size(), count - first);
      if (!read_records(piece.data(), records)) return false;
      inspect(piece.data(), records);
      out.insert(out.end(), piece.begin(), piece.begin() + static_cast<ptrdiff_t>(records));
    }
    return true;
  }
  template <typename T>
  bool read_records(std::vector<T>& out, uint64_t count) {
    return read_records(out, count, [](const T*, uint64_t) {});
  }

  // Digests bytes that nothing keeps.
  bool skip(uint64_t length) {
    uint8_t piece[1 << 14];
    for (uint64_t left = length; left != 0;) {
      const size_t part = static_cast<size_t>(std::min<uint64_t>(sizeof(piece), left));
      if (!read(piece, part)) return false;
      left -= part;
    }
    return true;
  }

  bool at_end() const { return offset_ == end_; }
  ImageDigest digest() const { return digester_.finish(); }

 private:
  static constexpr size_t kPieceBytes = 1 << 16;
  ImageSource& source_;
  uint64_t offset_;
  uint64_t end_;
  ImageDigester digester_;
};

// Reads digested section `index` with read(SectionReader&), which must read all of it,
// and records its digest.
template <typename Read>
bool read_section(ImageSource& source, const DigestedRanges& sections, int index,
                  SectionDigests& digests, Read&& read) {
  SectionReader in(source, sections[index]);
  if (!read(in) || !in.at_end()) return false;
  digests[index] = in.digest();
  return true;
}

bool is_power_of_two(uint32_t x) { return x != 0 && (x & (x - 1)) == 0; }

uint32_t token_length(const ImageExpectation& vocab, uint32_t token) {
  return vocab.token_starts[token + 1] - vocab.token_starts[token];
}

bool every_byte_is_a_token(const ImageExpectation& vocab) {
  bool seen[256] = {};
  int count = 0;
  for (uint32_t i = 0; i < vocab.token_count; ++i) {
    if (token_length(vocab, i) != 1) continue;
    const uint8_t b = vocab.token_bytes[vocab.token_starts[i]];
    count += seen[b] ? 0 : 1;
    seen[b] = true;
  }
  return count == 256;
}

// What the second thread reads: the whole-token index (from the vocabulary alone) and
// automaton 0, as packed steps when every byte is a token, else whole.
struct ForwardPart {
  WholeTokenIndex whole_tokens;
  bool packed = false;
  std::vector<PrefixStep> steps;
  std::unique_ptr<MatchAutomaton> automaton;
  bool read = false;  // every section was read
  bool sound = true;  // what was read passed the checks made while reading
};

// Automaton 0 read straight into the packed steps: states give token and depth, base and
// check the transitions. The output chains are digested and dropped. The three arrays are
// read side by side, so that each step is written once, and checked as they arrive;
// `sound` is cleared when a check fails.
bool read_prefix_steps(ImageSource& source, const DigestedRanges& at,
                       const ImageHeader::Automaton& a, const ImageExpectation& vocab,
                       SectionDigests& digests, std::vector<PrefixStep>& steps, bool& sound) {
  const uint64_t slots = static_cast<uint64_t>(a.state_count);
  const int64_t last_base = static_cast<int64_t>(slots) - 256;
  static_assert(sizeof(AutomatonState) == 16 && sizeof(OutputLink) == 12);
  SectionReader outputs(source, at[kOutputsSection]);
  if (!outputs.skip(sizeof(OutputLink) * static_cast<uint64_t>(a.output_count))) return false;
  SectionReader states(source, at[kStatesSection]);
  SectionReader bases(source, at[kBaseSection]);
  SectionReader checks(source, at[kCheckSection]);
  constexpr uint64_t kPerPiece = 2048;
  AutomatonState state[kPerPiece];
  int32_t base[kPerPiece], check[kPerPiece];
  reserve_for_filling(steps, slots);
  for (uint64_t first = 0; first < slots; first += kPerPiece) {
    const uint64_t count = std::min(kPerPiece, slots - first);
    if (!states.read_records(state, count) || !bases.read_records(base, count) ||
        !checks.read_records(check, count)) {
      return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
      const uint32_t token = state[i].token;
      // A token has the length of its position's depth, and every step stays inside the
      // array.
      sound &= token == kNoToken ||
               (token < vocab.token_count && token_length(vocab, token) == state[i].depth);
      sound &= base[i] >= 0 && base[i] <= last_base;
      sound &= check[i] >= -1 && static_cast<int64_t>(check[i]) < static_cast<int64_t>(slots);
      steps.push_back(PrefixStep{base[i], check[i], token, state[i].depth});
    }
  }
  if (!states.at_end() || !bases.at_end() || !checks.at_end() || !outputs.at_end()) return false;
  digests[kStatesSection] = states.digest();
  digests[kOutputsSection] = outputs.digest();
  digests[kBaseSection] = bases.digest();
  digests[kCheckSection] = checks.digest();
  // The root steps on every byte, which is what makes the prefix walk exact.
  if (slots < 256) {
    sound = false;
  } else if (sound) {
    for (int c = 0; c < 256; ++c) sound &= steps[steps[0].base + c].check == 0;
  }
  return true;
}

bool read_automaton(ImageSource& source, const DigestedRanges& at,
                    const ImageHeader::Automaton& h, SectionDigests& digests,
                    MatchAutomaton& a) {
  a.kind = h.kind;
  a.state_count = a.slot_count = h.state_count;
  a.output_count = h.output_count;
  const auto states = static_cast<uint64_t>(h.state_count);
  const auto section = [&](int index, auto& records, uint64_t count) {
    return read_section(source, at, index, digests,
                        [&](SectionReader& in) { return in.read_records(records, count); });
  };
  return section(kStatesSection, a.states, states) &&
         section(kOutputsSection, a.outputs, static_cast<uint64_t>(h.output_count)) &&
         section(kBaseSection, a.base, states) && section(kCheckSection, a.check, states);
}

void read_forward_part(ImageSource& source, const DigestedRanges& at, const ImageHeader& h,
                       const ImageExpectation& vocab, SectionDigests& digests,
                       ForwardPart& part) {
  part.whole_tokens =
      build_whole_token_index(vocab.token_bytes, vocab.token_starts, vocab.token_count);
  part.packed = every_byte_is_a_token(vocab);
  if (part.packed) {
    part.read = read_prefix_steps(source, at, h.automata[0], vocab, digests, part.steps,
                                  part.sound);
  } else {
    part.automaton = std::make_unique<MatchAutomaton>();
    part.read = read_automaton(source, at, h.automata[0], digests, *part.automaton);
  }
}

// The merge tables must split every token into two earlier ones of the right lengths, and
// the prefix chain must shorten at every step: the encoder's loops rely on both to end and
// to stay inside the piece. Whether the bytes agree too is the digest's to tell; comparing
// them here was 6% of reading cl100k_base's image (perf).
bool merges_are_sound(const BytePairEncoding& m) {
  const uint32_t n = m.token_count;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t left = m.merge_left[i], right = m.merge_right[i];
    if (left == i && right == i) continue;
    if (left >= i || right >= i) return false;
    if (m.token_length(left) + m.token_length(right) != m.token_length(i)) return false;
  }
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t prefix = m.longest_proper_prefix[i];
    if (prefix == kNoToken) continue;
    if (prefix >= n || m.token_length(prefix) >= m.token_length(i)) return false;
  }
  return true;
}

// Every transition stays inside the arrays, depths grow by one along transitions, failure
// links lead to shallower states, and output records name tokens of the right length:
// together these bound every walk of longest_token_at to the table and the input.
bool automaton_is_sound(const MatchAutomaton& a, const BytePairEncoding& m) {
  const int32_t slots = a.slot_count;
  const int32_t outputs = a.output_count;
  if (slots < 256 || outputs < 1) return false;
  if (a.states[0].depth != 0) return false;
  for (int32_t p = 0; p < slots; ++p) {
    const int32_t base = a.base[p];
    const int32_t parent = a.check[p];
    if (base < 0 || base > slots - 256) return false;
    if (parent < -1 || parent >= slots) return false;
    const AutomatonState& state = a.states[p];
    if (state.fail < 0 || state.fail >= slots) return false;
    if (p != 0 && state.fail != 0 && a.states[state.fail].depth >= state.depth) return false;
    if (p != 0 && parent >= 0 && state.depth != a.states[parent].depth + 1) return false;
    if (state.token != kNoToken &&
        (state.token >= m.token_count || m.token_length(state.token) != state.depth)) {
      return false;
    }
    if (state.output >= static_cast<uint32_t>(outputs)) return false;
    if (state.output != 0 && a.outputs[state.output].length > state.depth) return false;
  }
  for (int32_t k = 0; k < outputs; ++k) {
    const OutputLink& link = a.outputs[k];
    if (link.next >= static_cast<uint32_t>(outputs)) return false;
    if (k == 0) continue;
    if (link.token >= m.token_count || m.token_length(link.token) != link.length) return false;
  }
  return true;
}

ImageLoad rejected(const char* reason) { return ImageLoad{nullptr, reason}; }

}  // namespace

ImageLoad model_from_image(const ImageExpectation& expected, ImageSource& source) {
  uint8_t header_bytes[kImageHeaderSize];
  if (source.size() < kImageHeaderSize || !source.read_at(0, header_bytes, kImageHeaderSize)) {
    return rejected("shorter than an image header");
  }
  const ImageHeader h = read_image_header(header_bytes);
  const std::optional<ImageLayout> layout = image_layout(h);
  if (!layout) return rejected("negative automaton size in the header");
  if (layout->size != source.size()) return rejected("file size differs from the header's");
  if (h.token_count != expected.token_count) return rejected("made for another vocabulary");
  const uint32_t n = h.token_count;
  // A vocabulary whose whole-token lookup is the stored table makes it again, from the
  // vocabulary: its slots must have room for every token.
  if (!is_power_of_two(h.token_hash_capacity) || !is_power_of_two(h.pair_capacity) ||
      h.token_hash_count != n || h.token_hash_capacity <= n ||
      h.pair_count >= h.pair_capacity) {
    return rejected("unsound table sizes in the header");
  }
  const DigestedRanges at = digested_sections(*layout);
  SectionDigests digests{};
  {
    ImageDigester header_digest;
    header_digest.update(header_bytes, kImageHeaderSize);
    digests[kHeaderSection] = header_digest.finish();
  }

  // Two threads share the reading: a second one makes the whole-token index, which
  // depends on the vocabulary alone, then reads automaton 0, while this one reads the
  // merge and pair tables (where threads cannot be started, this one does all of it).
  // Together with leaving the unread token table out of the digest, first use from a
  // cached image (import to first encode) went from 35.3 to 27.2 ms (cl100k_base) and
  // from 55.3 to 39.5 ms (o200k_base): medians of 11 fresh processes, alternating with
  // the old build.
  ForwardPart forward;
  std::exception_ptr forward_failure;
  std::jthread forward_reader;
  const auto read_forward = [&] {
    try {
      read_forward_part(source, at, h, expected, digests, forward);
    } catch (...) {
      forward_failure = std::current_exception();
    }
  };
  try {
    forward_reader = std::jthread(read_forward);
  } catch (const std::system_error&) {
  }

  auto model = std::make_unique<BytePairEncoding>();
  model->token_count = n;
  model->hash_multiplier = h.hash_multiplier;
  const uint8_t* const bytes_end = expected.token_bytes + expected.token_starts[n];
  const uint32_t* const starts_end = expected.token_starts + n + 1;
  // Referring to a compiled-in vocabulary rather than copying it took first use from a
  // cached image from 21.0 to 19.2 ms (cl100k_base) and from 36.3 to 34.5 ms
  // (o200k_base), with 1.0 / 2.3 MB less RSS (medians of 15 fresh processes, alternating).
  if (expected.vocabulary_is_static) {
    model->token_bytes.refer_to_static(expected.token_bytes, bytes_end);
    model->token_starts.refer_to_static(expected.token_starts, starts_end);
  } else {
    model->token_bytes.assign(expected.token_bytes, bytes_end);
    model->token_starts.assign(expected.token_starts, starts_end);
  }
  model->token_hash_capacity = h.token_hash_capacity;
  model->token_hash_count = h.token_hash_count;
  model->pair_capacity = h.pair_capacity;
  model->pair_count = h.pair_count;
  // The pair table is checked as it arrives: ids in range, and room left for every
  // lookup to stop at an empty slot. The pair filter is filled from the slots while they
  // are in cache; deriving it afterwards read the whole table again (1.2 ms of 27 for
  // cl100k_base, perf).
  bool sound = true;
  uint64_t pairs = 0;
  clear_pair_filter(*model, h.pair_count);
  const auto check_pair_slots = [&](const PairSlot* slots, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
      if (slots[i].merged == kNoToken) continue;
      sound &= slots[i].left < n && slots[i].right < n && slots[i].merged < n;
      pair_filter_add(*model, slots[i].left, slots[i].right);
      ++pairs;
    }
  };
  const auto section = [&](int index, auto& records, uint64_t count, const auto& inspect) {
    return read_section(source, at, index, digests, [&](SectionReader& in) {
      return in.read_records(records, count, inspect);
    });
  };
  const auto unchecked = [](const uint32_t*, uint64_t) {};
  const bool tables_read = section(kMergeLeftSection, model->merge_left, n, unchecked) &&
                           section(kMergeRightSection, model->merge_right, n, unchecked) &&
                           section(kPrefixSection, model->longest_proper_prefix, n, unchecked) &&
                           section(kPairSection, model->pair_table, h.pair_capacity,
                                   check_pair_slots);
  // Checked while the second thread may still be reading: first use from a cached image
  // took 18.4 ms instead of 20.6 (cl100k_base, C++, medians of 15 alternating processes).
  sound = sound && tables_read && pairs == h.pair_count && pairs < h.pair_capacity &&
          merges_are_sound(*model);
  if (forward_reader.joinable()) {
    forward_reader.join();
  } else {
    read_forward();
  }
  if (forward_failure) std::rethrow_exception(forward_failure);
  if (!tables_read || !forward.read) return rejected("read error");
  if (combine_section_digests(digests) != expected.digest) {
    return rejected("content differs from the model this library builds");
  }
  if (!sound || !forward.sound ||
      (!forward.packed && !automaton_is_sound(*forward.automaton, *model))) {
    return rejected("unsound tables");
  }
  model->prefix_steps = std::move(forward.steps);
  model->forward_automaton = std::move(forward.automaton);
  model->whole_tokens = std::move(forward.whole_tokens);
  if (model->whole_tokens.slots.empty()) make_token_hash_table(*model);
  derive_lookup_tables(*model, ModelTables::kEncoding);
  return ImageLoad{std::move(model), nullptr};
}

ImageLoad model_from_image(const ImageExpectation& expected, const uint8_t* image,
                           size_t image_size) {
  if (image == nullptr) return rejected("no image");
  BufferSource source(image, image_size);
  return model_from_image(expected, source);
}

}  // namespace tessel
