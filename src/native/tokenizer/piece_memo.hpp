#pragma once

// Remembered encodings of short pieces that are not single tokens. Text repeats its
// multi-token pieces ("\tThe", " don't", words of other scripts), and a remembered one
// costs a hash probe and a copy instead of a backtracking run. A piece's ids depend on
// nothing but its bytes and the model, so what a thread remembers serves every later call
// of that thread with the same model: texts of one kind share most of their pieces.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "model/whole_token_index.hpp"

namespace tessel {

// Direct-mapped: a new piece replaces whatever shared its entry. An entry is one cache
// line; its key is the piece's bytes as three zero-padded words, so comparing a key never
// reads past the piece.
class PieceMemo {
 public:
  static constexpr uint64_t kMaxKeyBytes = 24;
  static constexpr uint32_t kMaxIds = 8;
  // 65,536 entries, 4 MiB of zero pages that become memory as entries are used. Against
  // the memo each call used to make for itself (one entry per 64 bytes of text, at most
  // 4,096), counting alternately in one process (medians of 15, cl100k_base / o200k_base):
  // the same text again and again 1.53x / 1.53x on English prose, 1.65x / 1.53x on code,
  // 1.40x / 1.41x on multilingual text; a new 64 KiB of the corpus each call 1.70x / 1.76x
  // on license texts, 1.62x / 1.80x on code, 1.17x / 1.31x on multilingual text. With
  // 16,384 entries the same text gained 1.27-1.55x, multilingual text only 1.10-1.12x.
  static constexpr uint64_t kEntries = 65536;

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
    const Entry& e = entries_.get()[slot_of(hash)];
    if (e.length != key.length || e.words[0] != key.words[0] || e.words[1] != key.words[1] ||
        e.words[2] != key.words[2]) {
      return nullptr;
    }
    count = e.count;
    return e.ids;
  }

  // Forgets every piece, and gives back the memory.
  void forget() { entries_.reset(); }

  // Remembers the ids of the key when there are at most kMaxIds; allocates on first use.
  void remember(const Key& key, uint64_t hash, const uint32_t* ids, uint64_t count) {
    if (count > kMaxIds) return;
    if (!entries_) {
      // Zero pages straight from the system: memory grows with the entries used.
      entries_.reset(static_cast<Entry*>(std::calloc(kEntries, sizeof(Entry))));
      if (!entries_) throw std::bad_alloc();
    }
    Entry& e = entries_.get()[slot_of(hash)];
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
  static uint64_t slot_of(uint64_t hash) { return (hash >> 32) & (kEntries - 1); }

  struct Free {
    void operator()(Entry* entries) const { std::free(entries); }
  };
  std::unique_ptr<Entry, Free> entries_;
};

// The calling thread's memo for the model of the given identity (BytePairEncoding::
// identity). A thread keeps memos for the few models it used last; a model it has none
// for takes over the least recently used one, emptied.
PieceMemo& thread_piece_memo(uint64_t model_identity);

}  // namespace tessel
