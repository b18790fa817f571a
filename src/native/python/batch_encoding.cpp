#include "python/batch_encoding.hpp"

#include <chrono>
#include <optional>
#include <vector>

#include "parallel/worker_pool.hpp"
#include "python/batch_result_lists.hpp"
#include "python/method_boundary.hpp"

namespace tessel::python {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Gives list i of `lists` the ids, then frees them; adds their number to total.
bool store_id_list(BatchResultLists& lists, size_t i, std::vector<uint32_t>& ids,
                   Py_ssize_t& total) {
  if (!lists.fill(i, ids.data(), ids.size())) return false;
  total += static_cast<Py_ssize_t>(ids.size());
  std::vector<uint32_t>().swap(ids);
  return true;
}

EncodedBatch one_after_another(const TokenizerModel& tokenizer, const uint8_t* const* texts,
                               const uint64_t* lengths, size_t n) {
  EncodedBatch encoded;
  BatchResultLists lists(n);
  if (!lists) return encoded;
  uint64_t total_bytes = 0;
  for (size_t i = 0; i < n; ++i) total_bytes += lengths[i];
  std::vector<std::vector<uint32_t>> results(n);
  const Clock::time_point start = Clock::now();
  encoded.seconds = run_maybe_unlocked(total_bytes >= kUnlockedTextBytes, [&] {
    for (size_t i = 0; i < n; ++i) results[i] = tokenizer_encode(tokenizer, texts[i], lengths[i]);
    return seconds_since(start);
  });
  for (size_t i = 0; i < n; ++i) {
    if (!store_id_list(lists, i, results[i], encoded.total)) return encoded;
  }
  encoded.lists = lists.finished();
  return encoded;
}

EncodedBatch on_worker_pool(const TokenizerModel& tokenizer, const uint8_t* const* texts,
                            const uint64_t* lengths, size_t n) {
  EncodedBatch encoded;
  std::vector<std::vector<uint32_t>> results(n);
  // The workers read only the texts, which the caller keeps alive, and write only
  // `results`. This thread turns each finished result into a list while later texts are
  // still being encoded, and waits without the interpreter lock.
  // Making the lists is 8-10% of encode_batch's time on documents of 10-50 KB; done after
  // the whole batch it is a serial tail that caps the gain on 2 cores at 1.83-1.86x
  // (bench/bench_concurrency.py prints the speedup and both bounds). The exact layer's
  // encode_ordinary_batch made its lists so until it came here: on 1,000 such documents
  // it now takes 0.79x / 0.77x the time (alternating in one process, medians of 11;
  // cl100k_base / o200k_base). The lists are made
  // empty while the workers start (BatchResultLists), so the collection they make due no
  // longer visits their ids: on 1,000 documents of 10-50 KB, against lists made full with
  // that collection run after each one that made it due, alternating in one process
  // (medians of 15), this call took 0.77x / 0.78x the time and encode_batch 0.80x / 0.83x
  // (cl100k_base / o200k_base).
  const Clock::time_point start = Clock::now();
  std::optional<EncodeBatchRun> run;
  run_maybe_unlocked(true, [&] {
    run.emplace(process_worker_pool(), tokenizer, texts, lengths, n, results.data());
    return 0;
  });
  // Whatever way this call ends, the jobs are waited for without the interpreter lock.
  struct WaitUnlocked {
    EncodeBatchRun& run;
    ~WaitUnlocked() {
      if (!run.all_finished()) run_maybe_unlocked(true, [this] { return run.wait_all(), 0; });
    }
  } wait_unlocked{*run};

  BatchResultLists lists(n);
  if (!lists) return encoded;
  for (size_t i = 0; i < n; ++i) {
    if (!run->finished(i)) run_maybe_unlocked(true, [&] { return run->wait_for(i), 0; });
    if (i + 1 == n) encoded.seconds = seconds_since(start);
    if (!store_id_list(lists, i, results[i], encoded.total)) return encoded;
  }
  if (n == 0) encoded.seconds = seconds_since(start);
  run_maybe_unlocked(!run->all_finished(), [&] { return run->wait_all(), 0; });
  run->throw_if_failed();
  encoded.lists = lists.finished();
  return encoded;
}

}  // namespace

EncodedBatch encode_batch_to_lists(const TokenizerModel& tokenizer,
                                   const uint8_t* const* texts, const uint64_t* lengths,
                                   size_t n, bool on_pool) {
  return on_pool ? on_worker_pool(tokenizer, texts, lengths, n)
                 : one_after_another(tokenizer, texts, lengths, n);
}

}  // namespace tessel::python
