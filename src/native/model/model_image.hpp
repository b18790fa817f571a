#pragma once

// Reading a model from its image (format in image_format.hpp, writer in image_writer.hpp).
//
// The rule: an image is accepted only when the model read from it encodes exactly like the
// model build_model makes from the same vocabulary. The builder is deterministic, so the
// caller passes the digest of that model's image (for the built-in vocabularies it is
// compiled in); any other image is rejected with a reason, and the caller builds instead.
// Structural checks come on top, so that not even a digest collision can make a walk
// leave its table.
//
// Only what encoding reads is kept: the token hash table and automata 1 and 2 are never
// read (a vocabulary that needs the token table makes it again), and when every byte is
// a token automaton 0 is read straight into prefix_steps.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "model/byte_pair_encoding.hpp"
#include "model/image_digest.hpp"
#include "model/image_format.hpp"

namespace tessel {

// Random-access bytes of one image.
class ImageSource {
 public:
  explicit ImageSource(uint64_t size) : size_(size) {}
  uint64_t size() const { return size_; }
  // Copies [offset, offset + length) to out; false when that cannot be read.
  virtual bool read_at(uint64_t offset, void* out, size_t length) = 0;

 protected:
  ~ImageSource() = default;

 private:
  uint64_t size_;
};

// The vocabulary a model image belongs to, and the digest its image must have.
struct ImageExpectation {
  const uint8_t* token_bytes;
  const uint32_t* token_starts;
  uint32_t token_count;
  ImageDigest digest;
  // The token strings live until the process ends (a compiled-in vocabulary): a model
  // read from an image refers to them instead of copying them.
  bool vocabulary_is_static = false;
};

// A model read from an image, or why the image was rejected (a static string).
struct ImageLoad {
  std::unique_ptr<BytePairEncoding> model;
  const char* rejection = nullptr;
};

// Throws std::bad_alloc on exhausted memory; every other failure is a rejection.
ImageLoad model_from_image(const ImageExpectation& expected, ImageSource& source);
ImageLoad model_from_image(const ImageExpectation& expected, const uint8_t* image,
                           size_t image_size);

}  // namespace tessel
