#pragma once

// Remembered encodings of pieces that are not single tokens. Text repeats its multi-token
// pieces ("\tThe", " don't", words of other scripts), and a remembered one costs a hash
// probe and a copy instead of a backtracking run. A piece's ids depend on nothing but its
// bytes and the model, so what a thread remembers serves every later call of that thread
// with the same model: texts of one kind share most of their pieces.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "model/bulk_memory.hpp"
#include "model/prefetch.hpp"
#include "model/whole_token_index.hpp"

namespace tessel {

// Two tables of a few entries per hash, where a new piece replaces the oldest. Short pieces
// of few tokens, most of those met, take one cache line each; longer ones and those of
// many tokens (words of scripts whose characters are one or two tokens each) take three. A
// key is the piece's bytes as zero-padded words, so comparing keys never reads past the
// piece.
class PieceMemo {
 public:
  static constexpr uint64_t kMaxKeyBytes = 64;  // longer pieces are never remembered
  static constexpr uint32_t kMaxIds = 30;       // nor pieces of more tokens

  struct Key {
    uint64_t words[kMaxKeyBytes / 8];
    uint64_t length;
  };

  // Writes the piece's key; head is key_head of the piece, length at most kMaxKeyBytes.
  // Written in place a word at a time: a key built and then copied, with wider loads than
  // the stores that made it, stalled on store forwarding. Against the copy, alternating in
  // one process (medians of 11): 1 MiB of random letters with o200k_base, whose pieces
  // never repeat, 1.16x; every other corpus and long piece 0.96-1.04x.
  static void fill_key(Key& key, const uint8_t* bytes, uint64_t length, uint64_t readable,
                       uint64_t head) {
    key.length = length;
    key.words[0] = head;
    uint64_t word = 1;
    for (uint64_t at = 8; at < length; at += 8, ++word) {
      key.words[word] = key_head(bytes + at, length - at, readable - at);
    }
    for (; word < kMaxKeyBytes / 8; ++word) key.words[word] = 0;
  }

  static Key key_of(const uint8_t* bytes, uint64_t length, uint64_t readable, uint64_t head) {
    Key key;
    fill_key(key, bytes, length, readable, head);
    return key;
  }

  // The remembered ids of the key, or nullptr (count set when found).
  const uint32_t* find(const Key& key, uint64_t hash, uint32_t& count) const {
    if (key.length <= Short::kKeyBytes) {
      const Short* e = short_.find(key, hash);
      if (e == nullptr) return nullptr;
      if (e->count != kIdsInLongEntry) {
        count = e->count;
        return e->ids;
      }
    }
    const Long* e = long_.find(key, hash);
    if (e == nullptr) return nullptr;
    count = e->count;
    return e->ids;
  }

  // Starts loading the entry find(key, hash) reads first.
  void prefetch(uint64_t length, uint64_t hash) const {
    if (length <= Short::kKeyBytes) {
      short_.prefetch(hash);
    } else {
      long_.prefetch(hash);
    }
  }

  // Forgets every piece, and gives back the memory.
  void forget() {
    short_.forget();
    long_.forget();
  }

  // Remembers the ids of the key when there are at most kMaxIds; allocates on first use.
  void remember(const Key& key, uint64_t hash, const uint32_t* ids, uint64_t count) {
    if (count > kMaxIds) return;
    if (key.length <= Short::kKeyBytes && count <= Short::kIds) {
      short_.entry_to_fill(key, hash).fill(key, ids, count);
      return;
    }
    long_.entry_to_fill(key, hash).fill(key, ids, count);
    // A short key's entry tells find that its ids are in the long table.
    if (key.length <= Short::kKeyBytes) {
      short_.entry_to_fill(key, hash).fill(key, ids, 0, kIdsInLongEntry);
    }
  }

 private:
  static constexpr uint8_t kIdsInLongEntry = 0xff;

  template <uint64_t kWords, uint32_t kMaxEntryIds>
  struct Entry {
    static constexpr uint64_t kKeyBytes = 8 * kWords;
    static constexpr uint32_t kIds = kMaxEntryIds;
    // length and count first: the line find reads first holds them and most of the key.
    uint8_t length;  // 0 marks an empty entry: pieces are never empty
    uint8_t count;   // or kIdsInLongEntry
    uint64_t words[kWords];
    uint32_t ids[kMaxEntryIds];

    bool holds(const Key& key) const {
      if (length != key.length) return false;
      for (uint64_t i = 0; i < kWords; ++i) {
        if (words[i] != key.words[i]) return false;
      }
      return true;
    }
    void fill(const Key& key, const uint32_t* from, uint64_t n, uint8_t tag) {
      for (uint64_t i = 0; i < kWords; ++i) words[i] = key.words[i];
      length = static_cast<uint8_t>(key.length);
      count = tag;
      for (uint64_t i = 0; i < n; ++i) ids[i] = from[i];
    }
    void fill(const Key& key, const uint32_t* from, uint64_t n) {
      fill(key, from, n, static_cast<uint8_t>(n));
    }
  };
  using Short = Entry<3, 8>;
  using Long = Entry<kMaxKeyBytes / 8, kMaxIds>;
  static_assert(sizeof(Short) == 64, "a short entry is one cache line");
  static_assert(sizeof(Long) == 192, "a long entry is three cache lines");
  static_assert(kMaxIds < kIdsInLongEntry && Short::kIds < kIdsInLongEntry);

  // kWays-way: a key lives in one of the kWays entries of its set, which are filled in
  // turn, the oldest replaced. Each set has a header of one tag byte per entry, from hash
  // bits the set index does not use (0: empty), so that a probe reads the key only of an
  // entry whose tag matches: a piece that is not remembered costs the header's line, not
  // one line per entry, and a new piece is written without moving the others along.
  // Against entries probed and shifted in order, alternating in one process (medians of
  // 9-15, through tessel.get_encoding): 1 MiB of random letters 1.01x / 1.12x
  // (cl100k_base / o200k_base), base64 1.05x / 1.08x; English, code and multilingual text
  // 0.97-1.07x, most 1.02-1.05x. Entries are allocated as zero pages straight from the
  // system, on the first piece a table remembers: memory grows with the entries used.
  template <typename E, uint64_t kEntries, uint64_t kWays>
  class Table {
   public:
    const E* find(const Key& key, uint64_t hash) const {
      if (entries_ == nullptr) return nullptr;
      return entry_holding(key, set_of(hash), tag_of(hash));
    }
    void prefetch(uint64_t hash) const {
      if (entries_ == nullptr) return;
      const uint64_t set = set_of(hash);
      prefetch_to_read(&headers_[set]);
      for (uint64_t w = 0; w < kWays; ++w) {
        const char* at = reinterpret_cast<const char*>(&entries_[set * kWays + w]);
        for (size_t line = 0; line < offsetof(E, ids); line += 64) prefetch_to_read(at + line);
      }
    }
    // The entry to write the key to: its own when the set has it, else the set's next in
    // turn, tagged for the key (the key it held is forgotten).
    E& entry_to_fill(const Key& key, uint64_t hash) {
      if (entries_ == nullptr) allocate();
      const uint64_t set = set_of(hash);
      const uint8_t tag = tag_of(hash);
      if (E* own = entry_holding(key, set, tag)) return *own;
      Header& header = headers_[set];
      const uint8_t w = header.next;
      header.next = static_cast<uint8_t>((w + 1) % kWays);
      header.tags[w] = tag;
      return entries_[set * kWays + w];
    }
    void forget() {
      memory_.reset();
      headers_memory_.reset();
      entries_ = nullptr;
      headers_ = nullptr;
    }

   private:
    struct alignas(8) Header {
      uint8_t tags[kWays];
      uint8_t next;  // the entry filled next
    };
    static_assert(sizeof(Header) == 8, "eight headers share a cache line");
    static constexpr uint64_t kSets = kEntries / kWays;

    // The set's entry of the key, or null; reads the key only of entries with its tag.
    E* entry_holding(const Key& key, uint64_t set, uint8_t tag) const {
      for (uint64_t w = 0; w < kWays; ++w) {
        if (headers_[set].tags[w] == tag && entries_[set * kWays + w].holds(key)) {
          return &entries_[set * kWays + w];
        }
      }
      return nullptr;
    }

    // The entries start on a 2 MiB boundary and ask for huge pages, so that a probe reads
    // no cache line it does not need (calloc aligns to 16 bytes) and costs no page-table
    // walk of its own; memory still grows only as entries are written, a huge page at a
    // time.
    static constexpr uintptr_t kAlign = uintptr_t{1} << 21;
    void allocate() {
      headers_memory_.reset(static_cast<char*>(std::calloc(kSets * sizeof(Header) + 64, 1)));
      memory_.reset(static_cast<char*>(std::calloc(kEntries * sizeof(E) + kAlign, 1)));
      if (!memory_ || !headers_memory_) {
        forget();
        throw std::bad_alloc();
      }
      const auto at = reinterpret_cast<uintptr_t>(memory_.get());
      entries_ = reinterpret_cast<E*>((at + kAlign - 1) & ~(kAlign - 1));
      request_huge_pages(entries_, kEntries * sizeof(E));
      const auto headers_at = reinterpret_cast<uintptr_t>(headers_memory_.get());
      headers_ = reinterpret_cast<Header*>((headers_at + 63) & ~uintptr_t{63});
    }

    // Bits above those the whole-token index probes with.
    static uint64_t set_of(uint64_t hash) { return (hash >> 32) & (kSets - 1); }
    static uint8_t tag_of(uint64_t hash) {
      const auto tag = static_cast<uint8_t>(hash >> 56);
      return tag != 0 ? tag : 1;
    }
    struct Free {
      void operator()(char* memory) const { std::free(memory); }
    };
    std::unique_ptr<char, Free> memory_;
    std::unique_ptr<char, Free> headers_memory_;
    E* entries_ = nullptr;       // in memory_
    Header* headers_ = nullptr;  // in headers_memory_, on a cache line boundary
  };

  // 65,536 short entries, 4 MiB. Against the memo each call used to make for itself (one
  // entry per 64 bytes of text, at most 4,096), counting alternately in one process
  // (medians of 15, cl100k_base / o200k_base): the same text again and again 1.53x /
  // 1.53x on English prose, 1.65x / 1.53x on code, 1.40x / 1.41x on multilingual text; a
  // new 64 KiB of the corpus each call 1.70x / 1.76x on license texts, 1.62x / 1.80x on
  // code, 1.17x / 1.31x on multilingual text. With 16,384 entries the same text gained
  // 1.27-1.55x, multilingual text only 1.10-1.12x. Four ways instead of two, with entries
  // on huge pages: counting multilingual text 1.11x / 1.18x (1.06x / 1.08x on a new
  // 64 KiB each call), code 1.12x / 1.09x, English prose 1.01x / 1.02x; 131,072 entries
  // of two ways instead gained 1.06-1.14x on multilingual text, but cost English prose 3%
  // without huge pages, and twice the memory.
  Table<Short, 65536, 4> short_;
  // 16,384 long entries, 3 MiB. The long table, both tables two-way instead of direct-
  // mapped and sets on line boundaries (with a prefetch of non-ASCII pieces' sets that the
  // compiler had dropped, see model/prefetch.hpp), together against the one direct-mapped
  // table of short pieces, alternating in one process (medians of 15,
  // cl100k_base / o200k_base): counting multilingual text 1.22x / 1.36x, the same again
  // and again, and 1.25x / 1.36x on a new 64 KiB of it each call; encoding it 1.14x /
  // 1.36x with exact splitting; code 1.06x / 1.09x; English prose 0.99x / 1.05x; o200k_base
  // on random letters, whose pieces never repeat, 0.90x.
  Table<Long, 16384, 2> long_;
};

// The calling thread's memo for the model of the given identity (BytePairEncoding::
// identity). A thread keeps memos for the few models it used last; a model it has none
// for takes over the least recently used one, emptied.
PieceMemo& thread_piece_memo(uint64_t model_identity);

}  // namespace tessel
