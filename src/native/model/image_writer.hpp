#pragma once

// Writes a model image (format in image_format.hpp). The model must hold the image's
// tables: built with ModelTables::kImage.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "model/byte_pair_encoding.hpp"
#include "model/forward_links.hpp"
#include "model/image_digest.hpp"
#include "model/image_format.hpp"

namespace tessel {

// Where image bytes go, in order; false stops the writing.
class ImageSink {
 public:
  virtual bool write(const void* bytes, size_t size) = 0;

 protected:
  ~ImageSink() = default;
};

// Writes the whole image; false when the sink refused some bytes.
bool write_model_image(const BytePairEncoding& model, ImageSink& sink);

// Writes one automaton's sections (states, outputs, base, check).
bool write_automaton_sections(const MatchAutomaton& automaton, ImageSink& sink);

// The image of an encoding model (ModelTables::kEncoding, every byte a token) in parts,
// so that the tables written need not all be in memory at once: the header and the tables
// (token_hash_table made for the purpose), then automata 0 and 1 (from prefix_steps and
// the recovered links), then automaton 2's sections, which the caller writes after these
// (it gives their counts for the header). forward_outputs is forward_output_count of the
// model's steps.
ImageHeader encoding_model_image_header(const BytePairEncoding& model, int32_t forward_outputs,
                                        const ImageHeader::Automaton& reverse);
bool write_header_and_tables(const ImageHeader& header, const BytePairEncoding& model,
                             ImageSink& sink);
bool write_forward_automata(const BytePairEncoding& model, const ForwardLinks& links,
                            ImageSink& sink);

// The whole image in memory.
std::vector<uint8_t> serialize_model_image(const BytePairEncoding& model);

// Digest of the part of the model's image that a model is read from.
ImageDigest model_image_digest(const BytePairEncoding& model);

// The same of an image in memory, or nothing when it is shorter than its header says.
std::optional<ImageDigest> image_digest(const uint8_t* image, size_t size);

}  // namespace tessel
