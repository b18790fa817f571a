// Text-level encode and count: walk the text piece by piece with the encoding's splitter
// and run the backtracking encoder on every piece by itself.
#include <algorithm>
#include <cstring>

#include "model/backtrack_encoder.hpp"
#include "model/spanned_parts.hpp"
#include "pretokenize/block_pieces.hpp"
#include "pretokenize/piece_walk.hpp"
#include "pretokenize/splitters.hpp"
#include "tokenizer/lookup_gates.hpp"
#include "tokenizer/piece_memo.hpp"
#include "tokenizer/tokenizer_model.hpp"

namespace tessel {

namespace {

constexpr size_t kInitialResultCapacity = 256;
constexpr uint32_t kPiecesAhead = 8;

// The pieces of a text from a splitter, one by one.
class PiecesOneByOne {
 public:
  PiecesOneByOne(PieceSplitter split, const uint8_t* text, uint64_t length)
      : split_(split), text_(text), length_(length) {}
  bool next(uint64_t& start, uint64_t& end) {
    return next_piece(split_, text_, length_, position_, start, end);
  }

 private:
  PieceSplitter split_;
  const uint8_t* text_;
  uint64_t length_, position_ = 0;
};

// Whether a piece's key_head (its first 8 bytes) is all ASCII.
inline bool is_ascii_head(uint64_t head) { return (head & 0x8080808080808080ull) == 0; }

// Encodes every piece of the text and hands its ids to on_piece(ids, count), which returns
// whether to go on. A piece that is itself a token encodes to that token alone, which one
// hash lookup finds; the others are encoded on one shared scratch, given up (ending the
// walk) once the search holds more than give_up_above() tokens. Returns false when the
// walk ended early.
//
// kFast adds the whole-token index, the calling thread's memo of multi-token pieces, kept
// across calls, and encodes the other pieces in spanned parts (model/spanned_parts.hpp);
// the plain walk (a piece is a token when the prefix walk's longest token spans it; a run
// for every other piece) gives the same ids and is kept as the reference the fast one is
// tested and fuzzed against. The "x plain" figures below were measured when the plain walk
// looked pieces up in the stored hash table, before the spanned parts.
// Measured with bench_tokenizer ("x plain": both walks interleaved in one process, 2-core
// machine under heavy shared load): encode 2.1x / 2.4x on English prose, 1.9x / 2.0x on
// code, 1.4x / 1.7x on package documentation, 1.7x / 1.6x on CJK (cl100k_base /
// o200k_base). Instructions (callgrind, cl100k_base): -13% on 4.2 MB of prose, -11% on
// 2.2 MB of package documentation; the rest of the gain is cache misses avoided.
template <bool kFast, typename Pieces, typename GiveUpAbove, typename OnPiece>
bool encode_pieces(const TokenizerModel& tokenizer, Pieces& pieces, const uint8_t* text,
                   uint64_t length, GiveUpAbove&& give_up_above, OnPiece&& on_piece) {
  const BytePairEncoding& model = *tokenizer.model;
  const bool use_index = kFast && !model.whole_tokens.slots.empty();
  const uint64_t hashed_up_to = std::max<uint64_t>(model.longest_token_length,
                                                   use_index ? PieceMemo::kMaxKeyBytes : 0);
  EncodeScratch scratch;
  PartIds gathered;
  PieceMemo& memo = thread_piece_memo(model.identity);
  MemoGate memo_gate;
  IndexGate index_gate;
  // Pieces are split a few ahead of their encoding, and the index slot of each is fetched
  // as it is split: on text of many short pieces that are not in cache, the slot loads of
  // several pieces then overlap instead of each stalling its own piece. Counting with 8
  // pieces ahead against none, alternating in one process (medians of 11): English
  // 1.05x / 1.08x, code 1.16x / 1.15x, multilingual text 1.10x / 1.11x, random letters
  // 1.07x / 1.32x (cl100k_base / o200k_base); 4 and 16 ahead did no better.
  struct Upcoming {
    uint64_t start, end, head, hash;
  };
  Upcoming upcoming[kPiecesAhead];
  uint32_t first = 0, waiting = 0;
  bool more = true;
  for (;;) {
    while (more && waiting < kPiecesAhead) {
      Upcoming& u = upcoming[(first + waiting) % kPiecesAhead];
      if (!pieces.next(u.start, u.end)) {
        more = false;
        break;
      }
      const uint64_t n = u.end - u.start;
      u.head = u.hash = 0;
      if (use_index && n <= hashed_up_to) {
        u.head = key_head(text + u.start, n, length - u.start);
        u.hash = key_hash(u.head, text + u.start, n);
        if (n <= model.longest_token_length) {
          __builtin_prefetch(&model.whole_tokens.slots[u.hash & model.whole_tokens.mask]);
        }
        // Pieces of other scripts are often more than one token, so their memo sets are
        // fetched as well (English and code, where most pieces are whole tokens, gained
        // nothing from fetching those of all pieces of 10 bytes or more). Until these
        // prefetches became asm statements (model/prefetch.hpp) the compiler had dropped
        // them; against that, alternating in one process (medians of 11, through
        // tessel.get_encoding, with tiktoken run between calls): multilingual text encoded
        // 1.17x / 1.16x and counted 1.23x / 1.21x (cl100k_base / o200k_base); English and
        // code 0.95-1.00x; in bench_tokenizer's loop multilingual text 1.37-1.39x.
        if (n <= PieceMemo::kMaxKeyBytes && !is_ascii_head(u.head)) {
          memo.prefetch(n, u.hash);
        }
      }
      ++waiting;
    }
    if (waiting == 0) break;
    const Upcoming& u = upcoming[first];
    first = (first + 1) % kPiecesAhead;
    --waiting;
    const uint64_t start = u.start;
    const uint8_t* piece = text + start;
    const uint64_t n = u.end - start;
    const uint64_t head = u.head, hash = u.hash;
    bool memo_piece = use_index && n <= PieceMemo::kMaxKeyBytes;
    PieceMemo::Key key;
    if (use_index && n <= hashed_up_to) {
      const bool ascii = is_ascii_head(head);
      // A piece that is a token and is left out here merges into that token.
      if (n <= model.longest_token_length && (index_gate.admits(start) || !ascii)) {
        const uint32_t whole = whole_token_lookup(model.whole_tokens, model.token_bytes.data(),
                                                  model.token_starts.data(), piece, n, head, hash);
        if (whole != kNoToken) {
          index_gate.found();
          if (!on_piece(&whole, 1)) return false;
          continue;
        }
        if (ascii) index_gate.missed(start);
      }
      if (memo_piece && ascii) memo_piece = memo_gate.admits(start);
      if (memo_piece) {
        PieceMemo::fill_key(key, piece, n, length - start, head);
        uint32_t count = 0;
        const uint32_t* ids = memo.find(key, hash, count);
        if (ascii) memo_gate.looked_up(ids != nullptr, start);
        if (ids != nullptr) {
          if (!on_piece(ids, count)) return false;
          continue;
        }
      }
    } else if (!use_index && n <= model.longest_token_length) {
      const uint32_t whole = whole_token_by_walk(model, piece, n);
      if (whole != kNoToken) {
        if (!on_piece(&whole, 1)) return false;
        continue;
      }
    }
    const uint32_t* ids;
    uint64_t count;
    if (kFast) {
      const PieceIds encoded =
          encode_by_spanned_parts(model, piece, n, give_up_above(), scratch, gathered);
      if (encoded.count == kOverLimit) return false;
      ids = encoded.ids;
      count = encoded.count;
    } else {
      // The run's stack lives in the scratch, so its ids outlive the run.
      BacktrackRun run;
      backtrack_init_scratch(run, model, piece, n, scratch);
      const uint64_t most = give_up_above();
      while (backtrack_step(run) != kNoToken) {
        if (run.stack_count > most) return false;
      }
      ids = run.stack;
      count = run.stack_count;
    }
    if (memo_piece) memo.remember(key, hash, ids, static_cast<uint32_t>(count));
    if (!on_piece(ids, count)) return false;
  }
  return true;
}

// encode_pieces; the fast walk takes the pieces of text that is mostly plain ASCII a
// block at a time (the plain walk, the reference, splits piece by piece).
template <bool kFast, typename GiveUpAbove, typename OnPiece>
bool encode_text_pieces(const TokenizerModel& tokenizer, const uint8_t* text, uint64_t length,
                        GiveUpAbove&& give_up_above, OnPiece&& on_piece) {
  // The pieces by reference: a copy of the block-wise walk (some 300 bytes) cost counting
  // 64 bytes of English 10% with cl100k_base.
  const auto encode = [&](auto&& pieces) {
    return encode_pieces<kFast>(tokenizer, pieces, text, length, give_up_above, on_piece);
  };
  bool finished = false;
  if (kFast && ascii::mostly_plain_blocks(text, length) &&
      with_block_pieces(tokenizer.splitter, text, length,
                        [&](auto& pieces) { finished = encode(pieces); })) {
    return finished;
  }
  return encode(PiecesOneByOne(tokenizer.splitter, text, length));
}

constexpr auto no_limit = [] { return UINT64_MAX; };

// Appends the text's ids to ids, whose capacity grows by doubling from at least 256.
template <bool kFast>
void append_ids(const TokenizerModel& tokenizer, const uint8_t* text, uint64_t length,
                std::vector<uint32_t>& ids) {
  // Inlined by force: once the memo's prefetches made the walk larger, GCC called this for
  // every piece, and encoding English prose took 1.4x the time.
  const auto append = [&ids](const uint32_t* piece, uint64_t count) __attribute__((always_inline)) {
    const size_t total = ids.size() + count;
    if (total > ids.capacity()) {
      size_t capacity = std::max(ids.capacity(), kInitialResultCapacity);
      while (capacity < total) capacity *= 2;
      ids.reserve(capacity);
    }
    ids.insert(ids.end(), piece, piece + count);
    return true;
  };
  encode_text_pieces<kFast>(tokenizer, text, length, no_limit, append);
}

template <bool kFast>
std::vector<uint32_t> encode_text(const TokenizerModel& tokenizer, const uint8_t* text,
                                  uint64_t length) {
  std::vector<uint32_t> ids;
  ids.reserve(kInitialResultCapacity);
  append_ids<kFast>(tokenizer, text, length, ids);
  return ids;
}

}  // namespace

std::vector<uint32_t> tokenizer_encode(const TokenizerModel& tokenizer, const uint8_t* text,
                                       uint64_t length) {
  return encode_text<true>(tokenizer, text, length);
}

void tokenizer_encode_into(const TokenizerModel& tokenizer, const uint8_t* text, uint64_t length,
                           std::vector<uint32_t>& ids) {
  ids.clear();
  append_ids<true>(tokenizer, text, length, ids);
}

std::vector<uint32_t> tokenizer_encode_plain(const TokenizerModel& tokenizer, const uint8_t* text,
                                             uint64_t length) {
  return encode_text<false>(tokenizer, text, length);
}

uint64_t tokenizer_count(const TokenizerModel& tokenizer, const uint8_t* text, uint64_t length) {
  uint64_t total = 0;
  encode_text_pieces<true>(tokenizer, text, length, no_limit, [&total](const uint32_t*, uint64_t count) {
    total += count;
    return true;
  });
  return total;
}

uint64_t tokenizer_count_till_limit(const TokenizerModel& tokenizer, const uint8_t* text,
                                    uint64_t length, uint64_t limit) {
  // A piece's run gives up once it holds 10 tokens more than what remains of the limit;
  // its stack grows with the piece, never with the limit.
  uint64_t total = 0;
  const auto remaining = [&] { return total < limit ? limit - total : 0; };
  const bool fits = encode_text_pieces<true>(
      tokenizer, text, length, [&] { return saturating_add(remaining(), 10); },
      [&](const uint32_t*, uint64_t count) {
        if (count > remaining()) return false;
        total += count;
        return true;
      });
  return fits ? total : kOverLimit;
}

}  // namespace tessel
