// The two built-in encodings as process-wide singletons, made on first use.
#include "tokenizer/builtin_encodings.hpp"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "data/embedded_vocab.hpp"
#include "model/model_builder.hpp"
#include "model/model_image.hpp"
#include "pretokenize/splitters.hpp"

namespace tessel {

namespace {

struct EncodingInfo {
  const EmbeddedVocab* vocab;
  PieceSplitter splitter;
  const char* image_name;
};

const EncodingInfo& info(BuiltinEncoding encoding) {
  static const EncodingInfo kInfo[] = {
      {&embedded_cl100k_base, split_next_cl100k, "precomputed_cl100k.bin"},
      {&embedded_o200k_base, split_next_o200k, "precomputed_o200k.bin"},
  };
  return kInfo[static_cast<int>(encoding)];
}

struct Singleton {
  std::atomic<const TokenizerModel*> tokenizer{nullptr};
  std::mutex making;
};

Singleton& singleton(BuiltinEncoding encoding) {
  static Singleton slots[2];
  return slots[static_cast<int>(encoding)];
}

std::unique_ptr<BytePairEncoding> make_model(const EncodingInfo& e,
                                             const std::optional<std::string>& image_path) {
  const EmbeddedVocab& v = *e.vocab;
  if (image_path) {
    auto model = model_from_image_file(image_path->c_str(), v.token_bytes, v.token_starts,
                                       v.token_count);
    if (model) return model;
  }
  auto model = build_model(v.token_bytes, v.token_starts, v.token_count);
#if defined(__GLIBC__)
  // The build frees many small trie allocations; hand that memory back to the system.
  malloc_trim(0);
#endif
  return model;
}

}  // namespace

const TokenizerModel& builtin_tokenizer(BuiltinEncoding encoding) {
  Singleton& slot = singleton(encoding);
  if (const TokenizerModel* made = slot.tokenizer.load(std::memory_order_acquire)) return *made;

  const EncodingInfo& e = info(encoding);
  // The image is looked up before taking the lock: finding the package may call back into
  // the interpreter, which must not happen while other callers wait on the lock.
  const std::optional<std::string> image_path = image_file_path(e.image_name);

  std::lock_guard<std::mutex> lock(slot.making);
  if (const TokenizerModel* made = slot.tokenizer.load(std::memory_order_acquire)) return *made;
  std::unique_ptr<BytePairEncoding> model = make_model(e, image_path);
  auto tokenizer = std::make_unique<TokenizerModel>(TokenizerModel{model.get(), e.splitter});
  // Both live until the process ends.
  model.release();
  slot.tokenizer.store(tokenizer.get(), std::memory_order_release);
  return *tokenizer.release();
}

bool builtin_tokenizer_is_made(BuiltinEncoding encoding) {
  return singleton(encoding).tokenizer.load(std::memory_order_acquire) != nullptr;
}

const char* builtin_encoding_name(BuiltinEncoding encoding) { return info(encoding).vocab->name; }

}  // namespace tessel
