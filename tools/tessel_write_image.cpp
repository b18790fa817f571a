// Writes the precomputed model image of a built-in encoding, to be installed beside the
// package as precomputed_cl100k.bin / precomputed_o200k.bin:
//   tessel_write_image cl100k_base|o200k_base OUTPUT_FILE
#include <cstdio>
#include <cstring>

#include "data/embedded_vocab.hpp"
#include "model/model_builder.hpp"
#include "model_image_writer.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s cl100k_base|o200k_base OUTPUT_FILE\n", argv[0]);
    return 2;
  }
  const tessel::EmbeddedVocab* vocab = nullptr;
  for (const tessel::EmbeddedVocab* v : {&tessel::embedded_cl100k_base, &tessel::embedded_o200k_base}) {
    if (std::strcmp(argv[1], v->name) == 0) vocab = v;
  }
  if (vocab == nullptr) {
    std::fprintf(stderr, "%s: unknown encoding '%s' (expected cl100k_base or o200k_base)\n",
                 argv[0], argv[1]);
    return 2;
  }
  const auto model = tessel::build_model(vocab->token_bytes, vocab->token_starts, vocab->token_count);
  const std::vector<uint8_t> image = tessel::serialize_model_image(*model);
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) {
    std::perror(argv[2]);
    return 1;
  }
  const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
  if (std::fclose(out) != 0 || !written) {
    std::perror(argv[2]);
    return 1;
  }
  std::printf("wrote %s: %zu bytes\n", argv[2], image.size());
  return 0;
}
