#include "model/build_with_image.hpp"

#include <algorithm>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "model/forward_links.hpp"
#include "model/image_file.hpp"
#include "model/image_format.hpp"
#include "model/image_writer.hpp"
#include "model/model_builder.hpp"
#include "model/section_digests.hpp"

namespace tessel {

namespace {

// Passes bytes on to a file and digests them.
class DigestingSink final : public ImageSink {
 public:
  DigestingSink(ImageSink& out, const ImageLayout& layout) : out_(out), digest_(layout) {}
  bool write(const void* bytes, size_t size) override {
    digest_.update(bytes, size);
    return out_.write(bytes, size);
  }
  ImageDigest digest() const { return digest_.finish(); }

 private:
  ImageSink& out_;
  StreamedImageDigest digest_;
};

// Hands the memory freed by a finished step back to the system, so that the next step's
// arrays take pages the last one gave up instead of adding to the peak: the trie, the
// scratch tables and the worker thread's arena would otherwise stay with the process.
void release_freed_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

bool copy_file_bytes(PendingImageFile& from, uint64_t size, ImageSink& to) {
  std::vector<uint8_t> buffer(std::min<uint64_t>(size, uint64_t{1} << 20));
  for (uint64_t at = 0; at < size;) {
    const size_t part = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - at));
    if (!from.read_at(at, buffer.data(), part) || !to.write(buffer.data(), part)) return false;
    at += part;
  }
  return true;
}

}  // namespace

std::unique_ptr<BytePairEncoding> build_model_writing_image(const ImageExpectation& vocab,
                                                            const std::string& directory,
                                                            const std::string& name) {
  PendingImageFile scratch(directory, name);
  ImageHeader::Automaton reverse;
  uint64_t reverse_bytes = 0;
  bool writing = scratch.is_open();
  if (writing) {
    const MatchAutomaton automaton =
        reverse_automaton_of(vocab.token_bytes, vocab.token_starts, vocab.token_count);
    reverse = {automaton.state_count, automaton.output_count, automaton.kind};
    reverse_bytes = 24 * static_cast<uint64_t>(automaton.state_count) +
                    12 * static_cast<uint64_t>(automaton.output_count);
    writing = write_automaton_sections(automaton, scratch);
  }
  release_freed_memory();

  auto model = build_model(vocab.token_bytes, vocab.token_starts, vocab.token_count,
                           ModelTables::kEncoding);
  // A vocabulary that lacks a byte keeps its whole forward automaton and has no packed
  // steps; no built-in one does, and such images are not written.
  if (!writing || model->prefix_steps.empty()) return model;
  release_freed_memory();

  // The lookup tables derived for encoding are dropped while the image's own tables take
  // their room, and made again after. The stored token table, which the model does not
  // keep, is made for its section and freed before the links are recovered: the peak
  // is the model and the links, not the model, the links and that table.
  model->whole_tokens = WholeTokenIndex{};
  std::vector<uint64_t>().swap(model->pair_filter);
  {
    make_token_hash_table(*model);
    const int32_t forward_outputs = forward_output_count(model->prefix_steps);
    const ImageHeader header = encoding_model_image_header(*model, forward_outputs, reverse);
    PendingImageFile image(directory, name);
    DigestingSink out(image, *image_layout(header));
    bool written = write_header_and_tables(header, *model, out);
    std::vector<TokenHashSlot>().swap(model->token_hash_table);
    release_freed_memory();
    if (written) {
      const ForwardLinks links = recover_forward_links(model->prefix_steps);
      written = static_cast<int64_t>(links.outputs.size()) == forward_outputs &&
                write_forward_automata(*model, links, out);
    }
    if (written && copy_file_bytes(scratch, reverse_bytes, out) &&
        out.digest() == vocab.digest) {
      image.commit();
    }
  }
  derive_lookup_tables(*model, ModelTables::kEncoding);
  return model;
}

}  // namespace tessel
