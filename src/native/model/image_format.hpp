#pragma once

// The model image: every table of a model in its in-memory record layout, so that a
// process can read a model instead of building it. All integers are little-endian; a
// 64-byte header of counts is followed by the sections, with no padding:
//
//   merge_left (4n) | merge_right (4n) | longest_proper_prefix (4n) |
//   token hash table (8C) | pair table (12P) |
//   per automaton 0, 1, 2: states (16S) | outputs (12O) | base (4S) | check (4S)
//
// Automaton 0 is the forward automaton, 1 a copy of it, 2 the reverse automaton. The
// vocabulary itself is not stored: it comes from the library.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace tessel {

inline constexpr size_t kImageHeaderSize = 64;
inline constexpr int kImageAutomata = 3;

struct ImageHeader {
  uint32_t token_count = 0;
  uint64_t hash_multiplier = 0;
  uint32_t token_hash_capacity = 0;
  uint32_t token_hash_count = 0;
  uint32_t pair_capacity = 0;
  uint32_t pair_count = 0;
  struct Automaton {
    int32_t state_count = 0;
    int32_t output_count = 0;
    uint32_t kind = 0;
  } automata[kImageAutomata];
};

// Byte offsets of the sections an image with a given header holds.
struct ImageLayout {
  uint64_t merge_left, merge_right, longest_proper_prefix, token_hash_table, pair_table;
  struct Automaton {
    uint64_t states, outputs, base, check;
  } automata[kImageAutomata];
  // The end of automaton 0, the last section a model is read from; automata 1 and 2 are
  // stored for the format's sake and nothing reads them.
  uint64_t read_end;
  uint64_t size;
};

// A part of an image: [begin, end) in bytes.
struct ByteRange {
  uint64_t begin, end;
};

// What an image's digest covers, in this order: the header and every section a model is
// read from (the tables, then automaton 0's four). The token hash table is not among them:
// a model makes its whole-token lookup from the vocabulary and never reads it.
enum DigestedSection : int {
  kHeaderSection,
  kMergeLeftSection,
  kMergeRightSection,
  kPrefixSection,
  kPairSection,
  kStatesSection,
  kOutputsSection,
  kBaseSection,
  kCheckSection,
  kDigestedSections
};
using DigestedRanges = std::array<ByteRange, kDigestedSections>;
DigestedRanges digested_sections(const ImageLayout& layout);

ImageHeader read_image_header(const uint8_t bytes[kImageHeaderSize]);
void write_image_header(const ImageHeader& header, uint8_t bytes[kImageHeaderSize]);

// Section offsets and total size, or nothing when a count is negative.
std::optional<ImageLayout> image_layout(const ImageHeader& header);

// Expected image size for the header at the start of image, or nothing when the image is
// shorter than a header or its counts are negative.
std::optional<uint64_t> image_size_from_header(const uint8_t* image, size_t size);

}  // namespace tessel
