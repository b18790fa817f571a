#pragma once

// Remembered encodings of short pieces that are not single tokens. Text repeats its
// multi-token pieces ("\tThe", " don't", words of other scripts), and a remembered one
// costs a hash probe and a copy instead of a backtracking run.

#include <cstdint>
#include <memory>

#include "model/whole_token_index.hpp"

namespace tessel {

// Direct-mapped: a new piece replaces whatever shared its entry. An entry is one cache
// line; its key is the piece's bytes as three zero-padded words, so comparing a key never
// reads past the piece.
class PieceMemo {
 public:
  static constexpr uint64_t kMaxKeyBytes = 24;
  static constexpr uint32_t kMaxIds = 8;
  // Entries grow with the text, one per 64 bytes (the memo's zeroing stays a small part of
  // the work), up to 4,096 (256 KiB, within the second-level cache). On 2.2 MB of package
  // documentation 1,024 entries saved 49% of the runs, 4,096 58%, 16,384 63%.
  static constexpr uint64_t kMinEntries = 128;
  static constexpr uint64_t kMaxEntries = 4096;
  static constexpr uint64_t kMinTextBytes = 64 * kMinEntries;

  // A memo sized for a text of text_length bytes (at least kMinTextBytes).
  explicit PieceMemo(uint64_t text_length) {
    while (entry_count_ < kMaxEntries && entry_count_ * 2 * 64 <= text_length) entry_count_ *= 2;
  }

  struct Key {
    uint64_t words[3];
    uint64_t length;
  };

  // The piece's key; head is key_head of the piece, length at most kMaxKeyBytes.
  static Key key_of(const uint8_t* bytes, uint64_t length, uint64_t readable, uint64_t head) {
    Key key{{head, 0, 0}, length};
    if (length > 8) key.words[1] = key_head(bytes + 8, length - 8, readable - 8);
    if (length > 16) key.words[2] = key_head(bytes + 16, length - 16, readable - 16);
    return key;
  }

  // The remembered ids of the key, or nullptr (count set when found).
  const uint32_t* find(const Key& key, uint64_t hash, uint32_t& count) const {
    if (!entries_) return nullptr;
    const Entry& e = entries_[slot_of(hash)];
    if (e.length != key.length || e.words[0] != key.words[0] || e.words[1] != key.words[1] ||
        e.words[2] != key.words[2]) {
      return nullptr;
    }
    count = e.count;
    return e.ids;
  }

  // Remembers the ids of the key when there are at most kMaxIds; allocates on first use.
  void remember(const Key& key, uint64_t hash, const uint32_t* ids, uint64_t count) {
    if (count > kMaxIds) return;
    if (!entries_) entries_ = std::make_unique<Entry[]>(entry_count_);  // zeroed: all empty
    Entry& e = entries_[slot_of(hash)];
    e.words[0] = key.words[0];
    e.words[1] = key.words[1];
    e.words[2] = key.words[2];
    e.length = static_cast<uint8_t>(key.length);
    e.count = static_cast<uint8_t>(count);
    for (uint64_t i = 0; i < count; ++i) e.ids[i] = ids[i];
  }

 private:
  struct Entry {
    uint64_t words[3];
    uint8_t length;  // 0 marks an empty entry: pieces are never empty
    uint8_t count;
    uint32_t ids[kMaxIds];
  };
  static_assert(sizeof(Entry) == 64);

  // Bits above those the whole-token index probes with.
  uint64_t slot_of(uint64_t hash) const { return (hash >> 32) & (entry_count_ - 1); }

  uint64_t entry_count_ = kMinEntries;
  std::unique_ptr<Entry[]> entries_;
};

}  // namespace tessel
