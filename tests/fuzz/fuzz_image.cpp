// Model images of small vocabularies, changed by the edits the input describes, loaded
// from memory. Whatever the loader accepts must give exactly the ids of the model built
// from the vocabulary; anything else must be refused, without crashing.
//
// Edited images almost never keep the expected digest, so the digest alone refuses them.
// In the second mode the loader is told to expect the edited image's own digest, as if
// the digest had collided: then only the structural checks stand between the edits and
// the walks, and the oracle is that nothing reads outside its tables (ASan) and the ids
// stay in the vocabulary.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "model/backtrack_encoder.hpp"
#include "model/image_writer.hpp"
#include "model/model_builder.hpp"
#include "model/model_image.hpp"
#include "small_vocabulary.hpp"

using namespace tessel;
using tessel::fuzz::bytes_of;

namespace {

struct Subject {
  std::vector<uint8_t> token_bytes;
  std::vector<uint32_t> token_starts{0};
  uint32_t token_count = 0;
  std::vector<uint8_t> image;                     // of the built model
  ImageDigest digest = 0;                         // of that image
  std::vector<std::string> probes;                // texts whose ids are compared
  std::vector<std::vector<uint32_t>> probe_ids;  // by the built model
};

Subject make_subject(uint32_t seed, size_t merges) {
  std::mt19937 rng(seed);
  const fuzz::SmallVocabulary vocab =
      fuzz::trained_vocabulary(merges, [&](size_t n) { return rng() % n; });
  Subject s;
  for (const std::string& token : vocab.tokens) {
    s.token_bytes.insert(s.token_bytes.end(), token.begin(), token.end());
    s.token_starts.push_back(static_cast<uint32_t>(s.token_bytes.size()));
  }
  s.token_count = static_cast<uint32_t>(vocab.tokens.size());
  const auto model = build_model(s.token_bytes.data(), s.token_starts.data(), s.token_count,
                                 ModelTables::kImage);
  s.image = serialize_model_image(*model);
  s.digest = model_image_digest(*model);
  // Every token, every string of up to four letters, and longer mixed strings.
  s.probes.assign(vocab.tokens.begin() + 256, vocab.tokens.end());
  std::vector<std::string> shorter{""};
  for (int length = 1; length <= 4; ++length) {
    std::vector<std::string> longer;
    for (const std::string& prefix : shorter) {
      for (const char* c = fuzz::kSmallAlphabet; *c; ++c) longer.push_back(prefix + *c);
    }
    s.probes.insert(s.probes.end(), longer.begin(), longer.end());
    shorter = std::move(longer);
  }
  const std::string mixed = std::string(fuzz::kSmallAlphabet) + "\xC3\xA9";
  for (int i = 0; i < 64; ++i) {
    std::string text;
    for (size_t n = 6 + rng() % 40; n > 0; --n) text += mixed[rng() % mixed.size()];
    s.probes.push_back(text);
  }
  for (const std::string& probe : s.probes) {
    s.probe_ids.push_back(backtrack_encode(*model, bytes_of(probe), probe.size()));
  }
  return s;
}

const std::vector<Subject>& subjects() {
  static const std::vector<Subject> all = [] {
    std::vector<Subject> made;
    for (uint32_t seed : {1u, 2u, 3u}) made.push_back(make_subject(seed, 24 + 20 * seed));
    return made;
  }();
  return all;
}

enum Edit : uint8_t { kSetWord, kXorByte, kAddToWord, kResize, kEditKinds };

}  // namespace

// The vocabularies are built here, where libFuzzer's per-input time limit does not apply.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  subjects();
  return 0;
}

// Input: a byte choosing the vocabulary (and, in its top bit, the colliding-digest mode),
// then edits of 9 bytes each: kind, offset, value.
// Offsets wrap around the image; words sit at multiples of 4, as every field does.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader input(data, size);
  const uint8_t choice = input.byte();
  const bool digest_collides = (choice & 0x80) != 0;
  const Subject& subject = subjects()[(choice & 0x7F) % subjects().size()];
  std::vector<uint8_t> image = subject.image;
  while (!input.empty()) {
    const uint8_t kind = input.byte() % kEditKinds;
    const uint32_t offset = input.u32();
    const uint32_t value = input.u32();
    if (kind == kResize) {
      image.resize(offset % (image.size() + 64));
      continue;
    }
    if (image.size() < 4) continue;
    const size_t at = kind == kXorByte ? offset % image.size() : (offset % (image.size() / 4)) * 4;
    uint32_t word = 0;
    std::memcpy(&word, image.data() + (at & ~size_t{3}), 4);
    if (kind == kSetWord) word = value;
    if (kind == kAddToWord) word += static_cast<int32_t>(static_cast<int8_t>(value));
    if (kind == kXorByte) word ^= (value & 0xFF) << (8 * (at & 3));
    std::memcpy(image.data() + (at & ~size_t{3}), &word, 4);
  }

  ImageExpectation expected{subject.token_bytes.data(), subject.token_starts.data(),
                            subject.token_count, subject.digest};
  if (digest_collides) {
    const std::optional<ImageDigest> own = image_digest(image.data(), image.size());
    if (!own) return 0;
    expected.digest = *own;
  }
  const ImageLoad load = model_from_image(expected, image.data(), image.size());
  FUZZ_CHECK((load.model == nullptr) == (load.rejection != nullptr));
  if (!load.model) return 0;
  const BytePairEncoding& loaded = *load.model;
  if (digest_collides) {
    for (const std::string& probe : subject.probes) {
      for (const uint32_t id : backtrack_encode(loaded, bytes_of(probe), probe.size())) {
        FUZZ_CHECK(id < subject.token_count);
      }
      backtrack_count(loaded, bytes_of(probe), probe.size());
    }
    return 0;
  }
  for (size_t i = 0; i < subject.probes.size(); ++i) {
    const std::string& probe = subject.probes[i];
    FUZZ_CHECK(backtrack_encode(loaded, bytes_of(probe), probe.size()) == subject.probe_ids[i]);
    FUZZ_CHECK(backtrack_count(loaded, bytes_of(probe), probe.size()) == subject.probe_ids[i].size());
  }
  return 0;
}
