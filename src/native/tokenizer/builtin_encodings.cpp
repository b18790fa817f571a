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
#include "model/build_with_image.hpp"
#include "model/image_file.hpp"
#include "model/model_builder.hpp"
#include "pretokenize/splitters.hpp"
#include "tokenizer/builtin_image_digests.hpp"
#include "tokenizer/image_locations.hpp"

namespace tessel {

namespace {

struct EncodingInfo {
  const EmbeddedVocab* vocab;
  SplitRules rules;
  const char* image_name;
  const ImageDigest* image_digest;
};

const EncodingInfo& info(BuiltinEncoding encoding) {
  static const EncodingInfo kInfo[] = {
      {&embedded_cl100k_base, SplitRules::cl100k, "precomputed_cl100k.bin", &kCl100kBaseImageDigest},
      {&embedded_o200k_base, SplitRules::o200k, "precomputed_o200k.bin", &kO200kBaseImageDigest},
  };
  return kInfo[static_cast<int>(encoding)];
}

// One tokenizer per mode, indexed by SplitMode, over the same model.
struct ModeTokenizers {
  TokenizerModel by_mode[2];
};

struct Singleton {
  std::atomic<const ModeTokenizers*> tokenizers{nullptr};
  std::mutex making;
};

Singleton& singleton(BuiltinEncoding encoding) {
  static Singleton slots[2];
  return slots[static_cast<int>(encoding)];
}

// The model from the image beside the package, else from the image cache, else built
// (and then written to the cache for the next process). An image that cannot be used is
// passed over: the model is always there, whatever the files hold.
std::unique_ptr<BytePairEncoding> make_model(const EncodingInfo& e,
                                             const std::optional<std::string>& image_path) {
  const EmbeddedVocab& v = *e.vocab;
  const ImageExpectation expected{v.token_bytes, v.token_starts, v.token_count, *e.image_digest,
                                  /*vocabulary_is_static=*/true};
  if (image_path) {
    ImageLoad load = model_from_image_file(image_path->c_str(), expected);
    if (load.model) return std::move(load.model);
  }
  const std::optional<std::string> cache = image_cache_directory();
  const std::string cached_name = cached_image_name(v.name, expected.digest);
  if (cache) {
    ImageLoad load = model_from_image_file((*cache + "/" + cached_name).c_str(), expected);
    if (load.model) return std::move(load.model);
  }
  std::unique_ptr<BytePairEncoding> model =
      cache && make_directories(*cache)
          ? build_model_writing_image(expected, *cache, cached_name)
          : build_model(v.token_bytes, v.token_starts, v.token_count, ModelTables::kEncoding);
#if defined(__GLIBC__)
  // The build frees its trie and scratch tables; hand that memory back to the system.
  malloc_trim(0);
#endif
  return model;
}

}  // namespace

const TokenizerModel& builtin_tokenizer(BuiltinEncoding encoding, SplitMode mode) {
  Singleton& slot = singleton(encoding);
  const auto index = static_cast<size_t>(mode);
  if (const ModeTokenizers* made = slot.tokenizers.load(std::memory_order_acquire)) {
    return made->by_mode[index];
  }

  const EncodingInfo& e = info(encoding);
  // The image is looked up before taking the lock: finding the package may call back into
  // the interpreter, which must not happen while other callers wait on the lock.
  const std::optional<std::string> image_path = image_file_path(e.image_name);

  std::lock_guard<std::mutex> lock(slot.making);
  if (const ModeTokenizers* made = slot.tokenizers.load(std::memory_order_acquire)) {
    return made->by_mode[index];
  }
  std::unique_ptr<BytePairEncoding> model = make_model(e, image_path);
  auto tokenizers = std::make_unique<ModeTokenizers>();
  for (const SplitMode m : {SplitMode::classic, SplitMode::exact}) {
    tokenizers->by_mode[static_cast<size_t>(m)] = {model.get(), piece_splitter(e.rules, m)};
  }
  // Both live until the process ends.
  model.release();
  slot.tokenizers.store(tokenizers.get(), std::memory_order_release);
  return tokenizers.release()->by_mode[index];
}

bool builtin_tokenizer_is_made(BuiltinEncoding encoding) {
  return singleton(encoding).tokenizers.load(std::memory_order_acquire) != nullptr;
}

const char* builtin_encoding_name(BuiltinEncoding encoding) { return info(encoding).vocab->name; }

}  // namespace tessel
