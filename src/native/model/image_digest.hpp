#pragma once

// Digest of the parts of a model image that a model is read from (section_digests.hpp
// says which and how they combine). The builder is deterministic, so the image of each
// built-in vocabulary has one digest, known when the library is built; an image whose
// digest differs is not that model, however plausible its tables look.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessel {

using ImageDigest = uint64_t;

// A streaming 64-bit hash: four independent multiply-rotate lanes over 32-byte blocks
// (so the loads and multiplies of a block overlap), then a final avalanche. Not
// cryptographic: it guards against damaged, stale or mismatched images.
class ImageDigester {
 public:
  void update(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    total_ += size;
    if (pending_ != 0) {
      const size_t take = size < kBlock - pending_ ? size : kBlock - pending_;
      std::memcpy(block_ + pending_, p, take);
      pending_ += take;
      p += take;
      size -= take;
      if (pending_ < kBlock) return;
      mix_block(block_);
      pending_ = 0;
    }
    for (; size >= kBlock; p += kBlock, size -= kBlock) mix_block(p);
    std::memcpy(block_, p, size);
    pending_ = size;
  }

  ImageDigest finish() const {
    uint64_t h = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) +
                 std::rotl(lanes_[3], 18);
    h ^= total_;
    for (size_t i = 0; i < pending_; ++i) h = (h ^ block_[i]) * kPrime1 + kPrime2;
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return h;
  }

 private:
  static constexpr size_t kBlock = 32;
  static constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
  static constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
  static constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;

  void mix_block(const uint8_t* p) {
    for (int lane = 0; lane < 4; ++lane) {
      uint64_t word;
      std::memcpy(&word, p + 8 * lane, 8);
      if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
      lanes_[lane] = std::rotl(lanes_[lane] + word * kPrime2, 31) * kPrime1;
    }
  }

  uint64_t lanes_[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  uint8_t block_[kBlock] = {};
  size_t pending_ = 0;
  uint64_t total_ = 0;
};

}  // namespace tessel
