#pragma once

// The digest of a whole image: each digested section (image_format.hpp) digested alone,
// then the section digests in order. Sections digested alone can be read on different
// threads, and the token hash table, which nothing reads, is left out.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "model/image_digest.hpp"
#include "model/image_format.hpp"
#include "model/little_endian.hpp"

namespace tessel {

using SectionDigests = std::array<ImageDigest, kDigestedSections>;

inline ImageDigest combine_section_digests(const SectionDigests& sections) {
  ImageDigester digester;
  for (const ImageDigest section : sections) {
    uint8_t word[8];
    write_le64(word, section);
    digester.update(word, sizeof(word));
  }
  return digester.finish();
}

// Digests an image handed over front to back in pieces of any size, as a writer makes it.
class StreamedImageDigest {
 public:
  explicit StreamedImageDigest(const ImageLayout& layout)
      : sections_(digested_sections(layout)) {}

  void update(const void* bytes, size_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    const uint64_t end = offset_ + size;
    while (current_ < kDigestedSections && offset_ < end) {
      const ByteRange& section = sections_[current_];
      if (offset_ < section.begin) {  // a part no section covers
        const uint64_t skip = std::min(end, section.begin) - offset_;
        p += skip;
        offset_ += skip;
        continue;
      }
      const uint64_t take = std::min(end, section.end) - offset_;
      digester_.update(p, static_cast<size_t>(take));
      p += take;
      offset_ += take;
      if (offset_ == section.end) {
        digests_[current_++] = digester_.finish();
        digester_ = ImageDigester{};
      }
    }
    offset_ = end;
  }

  // The digest once every digested section has been handed over.
  ImageDigest finish() const {
    SectionDigests digests = digests_;
    for (int i = current_; i < kDigestedSections; ++i) {
      digests[i] = i == current_ ? digester_.finish() : ImageDigester{}.finish();
    }
    return combine_section_digests(digests);
  }

 private:
  DigestedRanges sections_;
  SectionDigests digests_{};
  ImageDigester digester_;
  int current_ = 0;
  uint64_t offset_ = 0;
};

}  // namespace tessel
