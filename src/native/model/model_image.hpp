#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/byte_pair_encoding.hpp"

namespace tessel {

// Layout of a precomputed model image: a 64-byte little-endian header, then every table
// of the model in its in-memory record layout (merge_left, merge_right,
// longest_proper_prefix, token hash table, pair table, then per automaton its states,
// outputs, base and check). The vocabulary itself is not stored.
inline constexpr size_t kImageHeaderSize = 64;

// Expected image size for the header at the start of image, or nothing when the image is
// shorter than a header or its counts are negative.
std::optional<uint64_t> image_size_from_header(const uint8_t* image, size_t size);

// Makes a model from an image and the embedded vocabulary (token_count tokens), copying
// everything. Returns nullptr when the image does not describe a sound model of this
// vocabulary: wrong size, another token count, capacities that are not powers of two,
// indexes outside their tables, or tables that disagree with the vocabulary. Throws
// std::bad_alloc on exhausted memory.
std::unique_ptr<BytePairEncoding> model_from_image(const uint8_t* token_bytes,
                                                   const uint32_t* token_starts,
                                                   uint32_t token_count, const uint8_t* image,
                                                   size_t image_size);

// The same from the image file at path, read straight into the model's tables; nullptr
// also when the file is missing, empty or cannot be read completely.
std::unique_ptr<BytePairEncoding> model_from_image_file(const char* path,
                                                        const uint8_t* token_bytes,
                                                        const uint32_t* token_starts,
                                                        uint32_t token_count);

// The path of the image file `name` in the directory of the package file (the part of
// package_file up to and including its last '/' or '\'), or nothing when the path with
// its terminator would not fit in 4095 bytes.
std::optional<std::string> image_path_beside(std::string_view package_file,
                                             std::string_view name);

// The path of the image file `name` in the installed package's directory (found through
// the locator the Python layer registers); nothing when the package cannot be found.
std::optional<std::string> image_file_path(std::string_view name);

}  // namespace tessel
