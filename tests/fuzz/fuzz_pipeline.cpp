// The text pipeline of both built-in encodings in both splitting modes on any bytes:
// encode, count and count_till_limit agree at limits around the count; the ids decode to
// the input; the ids are the byte-level encoder's ids of each piece (which checks the
// whole-token lookup against the search) and, for short pieces, the merge-by-rank
// reference's; a batch on the worker pool gives what encoding the texts one by one gives.
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "data/embedded_vocab.hpp"
#include "fuzz_support.hpp"
#include "model/backtrack_encoder.hpp"
#include "parallel/worker_pool.hpp"
#include "pretokenize/piece_walk.hpp"
#include "support/merge_by_rank.hpp"
#include "tokenizer/builtin_encodings.hpp"

using namespace tessel;
using tessel::fuzz::bytes_of;

namespace {

// Pieces up to this length are also checked against merge-by-rank (quadratic).
constexpr uint64_t kReferencePieceLength = 48;
constexpr size_t kMaxBatchTexts = 6;

struct Encoding {
  const TokenizerModel* tokenizer;
  std::shared_ptr<testing::MergeByRank> reference;  // one per model, shared by its modes
};

std::vector<Encoding>& encodings() {
  static std::vector<Encoding> all = [] {
    std::vector<Encoding> made;
    for (BuiltinEncoding e : {BuiltinEncoding::cl100k_base, BuiltinEncoding::o200k_base}) {
      const TokenizerModel& classic = builtin_tokenizer(e, SplitMode::classic);
      const auto reference = std::make_shared<testing::MergeByRank>(*classic.model);
      made.push_back({&classic, reference});
      made.push_back({&builtin_tokenizer(e, SplitMode::exact), reference});
    }
    return made;
  }();
  return all;
}

WorkerPool& pool() {
  static std::unique_ptr<WorkerPool> two = make_worker_pool(2);
  return *two;
}

void check_text(const Encoding& encoding, std::string_view text) {
  const TokenizerModel& t = *encoding.tokenizer;
  const std::vector<uint32_t> ids = tokenizer_encode(t, bytes_of(text), text.size());
  const uint64_t n = ids.size();
  FUZZ_CHECK(tokenizer_count(t, bytes_of(text), text.size()) == n);
  for (uint64_t limit : {uint64_t{0}, n / 2, n - 1, n, n + 1, kOverLimit - 1, kOverLimit}) {
    if (n == 0 && limit == n - 1) continue;
    const uint64_t expected = n <= limit ? n : kOverLimit;
    FUZZ_CHECK(tokenizer_count_till_limit(t, bytes_of(text), text.size(), limit) == expected);
  }
  const auto decoded = decode_token_ids(*t.model, ids.data(), ids.size());
  FUZZ_CHECK(decoded && std::string_view(reinterpret_cast<const char*>(decoded->data()),
                                         decoded->size()) == text);

  std::vector<uint32_t> by_piece;
  uint64_t position = 0, start = 0, end = 0;
  while (next_piece(t.splitter, bytes_of(text), text.size(), position, start, end)) {
    const std::vector<uint32_t> piece = backtrack_encode(*t.model, bytes_of(text) + start, end - start);
    if (end - start <= kReferencePieceLength) {
      FUZZ_CHECK(piece == encoding.reference->encode(text.substr(start, end - start)));
    }
    by_piece.insert(by_piece.end(), piece.begin(), piece.end());
  }
  FUZZ_CHECK(position == text.size());
  FUZZ_CHECK(by_piece == ids);
}

}  // namespace

// The models are built here, where libFuzzer's per-input time limit does not apply.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  encodings();
  pool();
  return 0;
}

// Input: one byte giving the number of batch texts, one byte per cut between them (the
// share of what is left that the text before the cut takes), then the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader input(data, size);
  const size_t parts = 1 + input.byte() % kMaxBatchTexts;
  std::vector<uint8_t> shares(parts - 1);
  for (uint8_t& share : shares) share = input.byte();
  const std::string_view text = input.rest();
  for (const Encoding& encoding : encodings()) check_text(encoding, text);

  std::vector<const uint8_t*> starts;
  std::vector<uint64_t> lengths;
  for (size_t i = 0, at = 0; i < parts; ++i) {
    const size_t left = text.size() - at;
    const size_t length = i + 1 == parts ? left : left * shares[i] / 255;
    starts.push_back(bytes_of(text) + at);
    lengths.push_back(length);
    at += length;
  }
  for (const Encoding& encoding : encodings()) {
    std::vector<std::vector<uint32_t>> results(parts);
    encode_batch_on_pool(&pool(), *encoding.tokenizer, starts.data(), lengths.data(), parts,
                         results.data());
    for (size_t i = 0; i < parts; ++i) {
      FUZZ_CHECK(results[i] == tokenizer_encode(*encoding.tokenizer, starts[i], lengths[i]));
    }
  }
  return 0;
}
