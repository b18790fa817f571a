// Builds the cl100k_base model from the embedded vocabulary and encodes the bytes of the
// command-line text (default: a short sentence) with the bare byte-level encoder.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "data/embedded_vocab.hpp"
#include "model/backtrack_encoder.hpp"
#include "model/model_builder.hpp"

int main(int argc, char** argv) {
  const char* text = argc > 1 ? argv[1] : "hello world";
  const tessel::EmbeddedVocab& vocab = tessel::embedded_cl100k_base;
  const auto started = std::chrono::steady_clock::now();
  auto model = tessel::build_model(vocab.token_bytes, vocab.token_starts, vocab.token_count);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("built %s (%u tokens) in %.2f s\n", vocab.name, vocab.token_count, seconds);
  const auto ids = tessel::backtrack_encode(*model, reinterpret_cast<const uint8_t*>(text),
                                            std::strlen(text));
  std::printf("%s ->", text);
  for (uint32_t id : ids) std::printf(" %u", id);
  std::printf("\n");
  return 0;
}
