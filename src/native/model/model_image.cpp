#include "model/model_image.hpp"

#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>

#include "model/package_location.hpp"

namespace tessel {

namespace {

struct ImageHeader {
  uint32_t token_count;
  uint64_t hash_multiplier;
  uint32_t token_hash_capacity;
  uint32_t token_hash_count;
  uint32_t pair_capacity;
  uint32_t pair_count;
  int32_t state_count[3];
  int32_t output_count[3];
  uint32_t kind[3];
};

uint32_t read_u32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

ImageHeader read_header(const uint8_t* image) {
  ImageHeader h;
  h.token_count = read_u32(image);
  h.hash_multiplier = uint64_t{read_u32(image + 4)} | uint64_t{read_u32(image + 8)} << 32;
  h.token_hash_capacity = read_u32(image + 12);
  h.token_hash_count = read_u32(image + 16);
  h.pair_capacity = read_u32(image + 20);
  h.pair_count = read_u32(image + 24);
  for (int k = 0; k < 3; ++k) {
    h.state_count[k] = static_cast<int32_t>(read_u32(image + 28 + 12 * k));
    h.output_count[k] = static_cast<int32_t>(read_u32(image + 32 + 12 * k));
    h.kind[k] = read_u32(image + 36 + 12 * k);
  }
  return h;
}

// Image bytes from memory.
class BufferSource {
 public:
  BufferSource(const uint8_t* image, size_t size) : cursor_(image), left_(size) {}
  bool read(void* out, size_t bytes) {
    if (bytes > left_) return false;
    if (bytes != 0) std::memcpy(out, cursor_, bytes);
    cursor_ += bytes;
    left_ -= bytes;
    return true;
  }

 private:
  const uint8_t* cursor_;
  size_t left_;
};

// Image bytes from an open file, read straight into the model's tables.
class FileSource {
 public:
  explicit FileSource(std::FILE* file) : file_(file) {}
  bool read(void* out, size_t bytes) {
    return bytes == 0 || std::fread(out, 1, bytes, file_) == bytes;
  }

 private:
  std::FILE* file_;
};

// Reads count records of 32-bit little-endian words (every field of every image record
// is one) into out.
template <typename Source, typename T>
bool read_section(Source& source, std::vector<T>& out, uint64_t count) {
  static_assert(sizeof(T) % 4 == 0);
  out.resize(count);
  const size_t bytes = count * sizeof(T);
  if (!source.read(out.data(), bytes)) return false;
  if constexpr (std::endian::native == std::endian::big) {
    auto* words = reinterpret_cast<uint8_t*>(out.data());
    for (size_t i = 0; i < bytes; i += 4) {
      std::swap(words[i], words[i + 3]);
      std::swap(words[i + 1], words[i + 2]);
    }
  }
  return true;
}

bool is_power_of_two(uint32_t x) { return x != 0 && (x & (x - 1)) == 0; }

bool same_bytes(const BytePairEncoding& m, uint32_t token, uint64_t offset, uint32_t part) {
  return std::memcmp(m.token_data(token) + offset, m.token_data(part), m.token_length(part)) == 0;
}

// The merge tables must spell every token from two earlier ones, and the prefix chain must
// shorten at every step: the encoder's loops rely on both to end.
bool merges_are_sound(const BytePairEncoding& m) {
  const uint32_t n = m.token_count;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t left = m.merge_left[i], right = m.merge_right[i];
    if (left == i && right == i) continue;
    if (left >= i || right >= i) return false;
    if (m.token_length(left) + m.token_length(right) != m.token_length(i)) return false;
    if (!same_bytes(m, i, 0, left) || !same_bytes(m, i, m.token_length(left), right)) {
      return false;
    }
  }
  for (uint32_t i = 0; i < n; ++i) {
    const int32_t p = m.longest_proper_prefix[i];
    if (p == -1) continue;
    if (p < 0 || static_cast<uint32_t>(p) >= n) return false;
    const uint32_t prefix = static_cast<uint32_t>(p);
    if (m.token_length(prefix) >= m.token_length(i) || !same_bytes(m, i, 0, prefix)) {
      return false;
    }
  }
  return true;
}

bool hash_tables_are_sound(const BytePairEncoding& m) {
  const uint32_t n = m.token_count;
  uint64_t tokens = 0;
  for (const TokenHashSlot& slot : m.token_hash_table) {
    if (slot.token == kNoToken) continue;
    if (slot.token >= n) return false;
    ++tokens;
  }
  // Lookups stop only at an empty slot.
  if (tokens >= m.token_hash_capacity) return false;
  uint64_t occupied = 0;
  for (const PairSlot& slot : m.pair_table) {
    if (slot.merged == kNoToken) continue;
    if (slot.left >= n || slot.right >= n || slot.merged >= n) return false;
    ++occupied;
  }
  return occupied == m.pair_count && occupied < m.pair_capacity;
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

// Size of the whole image that the header describes, or nothing for negative counts.
std::optional<uint64_t> image_size_of(const ImageHeader& h) {
  uint64_t total = kImageHeaderSize + 12ull * h.token_count + 8ull * h.token_hash_capacity +
                   12ull * h.pair_capacity;
  for (int k = 0; k < 3; ++k) {
    if (h.state_count[k] < 0 || h.output_count[k] < 0) return std::nullopt;
    total += 24ull * static_cast<uint64_t>(h.state_count[k]) +
             12ull * static_cast<uint64_t>(h.output_count[k]);
  }
  return total;
}

// Makes the model from an image of image_size bytes read from source; nullptr when the
// image does not fit the vocabulary or its tables are not sound.
template <typename Source>
std::unique_ptr<BytePairEncoding> model_from_source(const uint8_t* token_bytes,
                                                    const uint32_t* token_starts,
                                                    uint32_t token_count, Source& source,
                                                    uint64_t image_size) {
  uint8_t header[kImageHeaderSize];
  if (image_size < kImageHeaderSize || !source.read(header, kImageHeaderSize)) return nullptr;
  const ImageHeader h = read_header(header);
  const std::optional<uint64_t> expected = image_size_of(h);
  if (!expected || *expected != image_size) return nullptr;
  if (h.token_count != token_count) return nullptr;
  if (!is_power_of_two(h.token_hash_capacity) || !is_power_of_two(h.pair_capacity)) {
    return nullptr;
  }
  if (h.token_hash_count > h.token_hash_capacity || h.pair_count >= h.pair_capacity) {
    return nullptr;
  }

  auto model = std::make_unique<BytePairEncoding>();
  const uint32_t n = token_count;
  model->token_count = n;
  model->hash_multiplier = h.hash_multiplier;
  model->token_bytes.assign(token_bytes, token_bytes + token_starts[n]);
  model->token_starts.assign(token_starts, token_starts + n + 1);
  model->token_hash_capacity = h.token_hash_capacity;
  model->token_hash_count = h.token_hash_count;
  model->pair_capacity = h.pair_capacity;
  model->pair_count = h.pair_count;
  if (!read_section(source, model->merge_left, n) ||
      !read_section(source, model->merge_right, n) ||
      !read_section(source, model->longest_proper_prefix, n) ||
      !read_section(source, model->token_hash_table, h.token_hash_capacity) ||
      !read_section(source, model->pair_table, h.pair_capacity)) {
    return nullptr;
  }

  std::unique_ptr<MatchAutomaton>* automata[3] = {&model->forward_automaton,
                                                  &model->second_forward_automaton,
                                                  &model->reverse_automaton};
  for (int k = 0; k < 3; ++k) {
    auto automaton = std::make_unique<MatchAutomaton>();
    automaton->kind = h.kind[k];
    automaton->state_count = automaton->slot_count = h.state_count[k];
    automaton->output_count = h.output_count[k];
    if (!read_section(source, automaton->states, h.state_count[k]) ||
        !read_section(source, automaton->outputs, h.output_count[k]) ||
        !read_section(source, automaton->base, h.state_count[k]) ||
        !read_section(source, automaton->check, h.state_count[k])) {
      return nullptr;
    }
    *automata[k] = std::move(automaton);
  }

  if (!merges_are_sound(*model) || !hash_tables_are_sound(*model)) return nullptr;
  for (int k = 0; k < 3; ++k) {
    if (!automaton_is_sound(**automata[k], *model)) return nullptr;
  }
  derive_lookup_tables(*model);
  return model;
}

}  // namespace

std::optional<uint64_t> image_size_from_header(const uint8_t* image, size_t size) {
  if (image == nullptr || size < kImageHeaderSize) return std::nullopt;
  return image_size_of(read_header(image));
}

std::unique_ptr<BytePairEncoding> model_from_image(const uint8_t* token_bytes,
                                                   const uint32_t* token_starts,
                                                   uint32_t token_count, const uint8_t* image,
                                                   size_t image_size) {
  if (image == nullptr) return nullptr;
  BufferSource source(image, image_size);
  return model_from_source(token_bytes, token_starts, token_count, source, image_size);
}

std::unique_ptr<BytePairEncoding> model_from_image_file(const char* path,
                                                        const uint8_t* token_bytes,
                                                        const uint32_t* token_starts,
                                                        uint32_t token_count) {
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
  if (!file) return nullptr;
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return nullptr;
  const long size = std::ftell(file.get());
  if (size <= 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) return nullptr;
  FileSource source(file.get());
  return model_from_source(token_bytes, token_starts, token_count, source,
                           static_cast<uint64_t>(size));
}

std::optional<std::string> image_path_beside(std::string_view package_file,
                                             std::string_view name) {
  const size_t separator = package_file.find_last_of("/\\");
  const std::string_view directory =
      separator == std::string_view::npos ? std::string_view() : package_file.substr(0, separator + 1);
  if (directory.size() + name.size() + 1 > 4095) return std::nullopt;
  std::string path(directory);
  path.append(name);
  return path;
}

std::optional<std::string> image_file_path(std::string_view name) {
  const std::string package_file = locate_package_file();
  if (package_file.empty()) return std::nullopt;
  return image_path_beside(package_file, name);
}

}  // namespace tessel
