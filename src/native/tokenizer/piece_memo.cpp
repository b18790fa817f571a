#include "tokenizer/piece_memo.hpp"

namespace tessel {

namespace {

// Enough for a thread that alternates between two encodings; a memo takes memory only as
// pieces are remembered in it, at most 7.2 MiB.
constexpr int kModelsPerThread = 2;

struct ThreadMemos {
  uint64_t identity[kModelsPerThread] = {};  // 0: no model yet (identities start at 1)
  uint64_t last_use[kModelsPerThread] = {};
  uint64_t uses = 0;
  PieceMemo memos[kModelsPerThread];
};

}  // namespace

PieceMemo& thread_piece_memo(uint64_t model_identity) {
  thread_local ThreadMemos memos;
  int chosen = 0;
  for (int i = 0; i < kModelsPerThread; ++i) {
    if (memos.identity[i] == model_identity) {
      chosen = i;
      break;
    }
    if (memos.last_use[i] < memos.last_use[chosen]) chosen = i;
  }
  if (memos.identity[chosen] != model_identity) {
    memos.memos[chosen].forget();
    memos.identity[chosen] = model_identity;
  }
  memos.last_use[chosen] = ++memos.uses;
  return memos.memos[chosen];
}

}  // namespace tessel
