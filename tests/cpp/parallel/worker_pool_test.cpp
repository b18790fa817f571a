#include "parallel/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/model_fixtures.hpp"

namespace tessel {
namespace {

using namespace std::chrono;
using Results = std::vector<std::vector<uint32_t>>;

std::atomic<bool> gate_open{true};
std::atomic<int> gate_waiters{0};

// Pieces of at most four bytes. A text starting with '!' throws std::bad_alloc; one
// starting with '#' waits until the gate opens.
bool test_splitter(const uint8_t* text, uint64_t length, uint64_t position, Piece* out) {
  if (position >= length) return false;
  if (position == 0 && text[0] == '!') throw std::bad_alloc();
  if (position == 0 && text[0] == '#') {
    ++gate_waiters;
    while (!gate_open.load()) std::this_thread::sleep_for(1ms);
    --gate_waiters;
  }
  *out = Piece{position, std::min(position + 4, length), 0, 0};
  return true;
}

const TokenizerModel& small_tokenizer() {
  static const auto model =
      testing::bytes_then({"aa", "ab", "ba", "aab", "aaaa", "xy", "xyz"}).build();
  static const TokenizerModel tokenizer{model.get(), test_splitter};
  return tokenizer;
}

std::vector<std::string> sample_texts(size_t n, unsigned seed) {
  const char* parts[] = {"a", "b", "aa", "xyz", "ab", "q", "aaaa", "ba"};
  std::mt19937 rng(seed);
  std::vector<std::string> texts(n);
  for (std::string& text : texts) {
    for (size_t k = rng() % 12; k > 0; --k) text += parts[rng() % 8];
  }
  return texts;
}

Results encode_each(const std::vector<std::string>& texts) {
  Results out;
  for (const std::string& t : texts)
    out.push_back(tokenizer_encode(small_tokenizer(), testing::bytes_of(t), t.size()));
  return out;
}

void run_batch_into(WorkerPool* pool, const std::vector<std::string>& texts, Results& results) {
  std::vector<const uint8_t*> pointers;
  std::vector<uint64_t> lengths;
  for (const std::string& t : texts) {
    pointers.push_back(testing::bytes_of(t));
    lengths.push_back(t.size());
  }
  results.assign(texts.size(), {});
  encode_batch_on_pool(pool, small_tokenizer(), pointers.data(), lengths.data(), texts.size(),
                       results.data());
}

Results run_batch(WorkerPool* pool, const std::vector<std::string>& texts) {
  Results results;
  run_batch_into(pool, texts, results);
  return results;
}

TEST(ProcessPool, ConcurrentFirstCallersSeeOnePoolOfProcessorCountWorkers) {
  std::vector<WorkerPool*> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&seen, i] { seen[i] = process_worker_pool(); });
  for (std::thread& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (WorkerPool* p : seen) EXPECT_EQ(p, seen[0]);
  const uint32_t n = processor_count();
  EXPECT_TRUE(n >= 1 && n <= kMaxWorkerThreads);
  EXPECT_EQ(seen[0]->thread_count(), n);
  EXPECT_EQ(process_thread_count(), n);
}

// More texts than ring slots come back in input order, on every kind of pool; with no
// pool, or one without workers, the batch runs on the calling thread.
TEST(EncodeBatch, ResultsInInputOrderOnEveryPool) {
  auto none = make_worker_pool(0);
  ASSERT_EQ(none->thread_count(), 0u);
  auto three = make_worker_pool(3);
  const std::vector<std::string> batches[] = {{}, {"aabxyzq"}, {""}, sample_texts(10000, 1)};
  for (WorkerPool* pool : {static_cast<WorkerPool*>(nullptr), none.get(), three.get(),
                           process_worker_pool()}) {
    for (const auto& texts : batches) EXPECT_EQ(run_batch(pool, texts), encode_each(texts));
  }
}

// Submitters 0-2 run many tiny batches: each group is destroyed right after its wait
// returns, so a worker still touching a group after its final countdown shows up under
// TSan or ASan as a use after scope.
TEST(EncodeBatch, ConcurrentSubmittersGetTheirOwnResults) {
  auto pool = make_worker_pool(4);
  constexpr int kSubmitters = 6;
  std::vector<std::vector<std::string>> inputs;
  for (int s = 0; s < kSubmitters; ++s)
    inputs.push_back(sample_texts(s < 3 ? 3 : 1000 * s, 10 + s));
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int s = 0; s < kSubmitters; ++s)
    threads.emplace_back([&, s] {
      const Results expected = encode_each(inputs[s]);
      for (int round = 0; round < (s < 3 ? 2000 : 3); ++round)
        mismatches += run_batch(pool.get(), inputs[s]) != expected;
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(EncodeBatch, OutOfMemoryReportedAfterAllJobsFinished) {
  auto pool = make_worker_pool(3);
  std::vector<std::string> texts = sample_texts(2000, 4);
  texts[7] = "!fails";
  texts[1500] = "!fails too";
  Results results;
  EXPECT_THROW(run_batch_into(pool.get(), texts, results), std::bad_alloc);
  // The jobs after the last failing one all ran to completion.
  const std::vector<std::string> rest(texts.begin() + 1501, texts.end());
  EXPECT_EQ(Results(results.begin() + 1501, results.end()), encode_each(rest));
  // The pool is still usable; the sequential path reports the same failure.
  EXPECT_EQ(run_batch(pool.get(), rest), encode_each(rest));
  EXPECT_THROW(run_batch(nullptr, texts), std::bad_alloc);
}

// A result is available as soon as its own job is done: with one worker held on text 1,
// the other finishes every later text, and the submitter can wait for each of them.
TEST(EncodeBatch, ResultsTakenAsTheyFinish) {
  auto pool = make_worker_pool(2);
  std::vector<std::string> texts = sample_texts(500, 8);
  texts[1] = "#held";
  std::vector<const uint8_t*> pointers;
  std::vector<uint64_t> lengths;
  for (const std::string& t : texts) {
    pointers.push_back(testing::bytes_of(t));
    lengths.push_back(t.size());
  }
  const Results expected = encode_each(texts);
  Results results(texts.size());
  gate_open = false;
  {
    EncodeBatchRun run(pool.get(), small_tokenizer(), pointers.data(), lengths.data(),
                       texts.size(), results.data());
    for (size_t i : {size_t{0}, texts.size() - 1, size_t{2}}) {
      run.wait_for(i);
      EXPECT_EQ(results[i], expected[i]);
    }
    EXPECT_FALSE(run.finished(1));
    EXPECT_FALSE(run.all_finished());
    gate_open = true;
    run.wait_for(1);
    run.wait_all();
    run.throw_if_failed();
  }
  EXPECT_EQ(results, expected);
}

TEST(PoolJobs, CountKindsAndUnknownKinds) {
  auto pool = make_worker_pool(2);
  const std::vector<std::string> texts = sample_texts(300, 6);
  const size_t n = texts.size();
  JobGroup group;
  group.remaining.store(static_cast<int64_t>(3 * n));
  std::vector<uint64_t> counts(n, 999), limited(n, 999), untouched(n, 999);
  Results ids(n);
  for (size_t i = 0; i < n; ++i) {
    auto queue = [&](int32_t kind, uint64_t* count, std::vector<uint32_t>* ids = nullptr) {
      queue_job(*pool, {.model = &small_tokenizer(), .text = testing::bytes_of(texts[i]),
                        .length = texts[i].size(), .kind = kind, .limit = 3, .ids = ids,
                        .count = count, .group = &group});
    };
    queue(kJobCount, &counts[i]);
    queue(kJobCountTillLimit, &limited[i]);
    queue(7, &untouched[i], &ids[i]);  // not a known kind: counted down, nothing run
  }
  wait_for_group(group);
  EXPECT_EQ(group.failure.load(), kJobOk);
  const Results expected = encode_each(texts);
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(counts[i], expected[i].size());
    EXPECT_EQ(limited[i], expected[i].size() <= 3 ? expected[i].size() : kOverLimit);
    EXPECT_EQ(untouched[i], 999u);
    EXPECT_TRUE(ids[i].empty());
  }
}

// With the only worker held on its first job, the ring fills to kRingSize and the
// submitter of one more job waits until the worker takes a job.
TEST(PoolJobs, FullRingMakesSubmitterWait) {
  auto pool = make_worker_pool(1);
  std::vector<std::string> texts(kRingSize + 2, "aab");
  texts[0] = "#held";
  gate_open = false;
  std::atomic<bool> submitted{false};
  Results results;
  std::thread submitter([&] {
    results = run_batch(pool.get(), texts);
    submitted = true;
  });
  int32_t pending = 0;
  for (auto deadline = steady_clock::now() + 60s; steady_clock::now() < deadline;
       std::this_thread::sleep_for(2ms)) {
    std::lock_guard<std::mutex> hold(pool->lock);
    pending = pool->pending;
    if (pending == kRingSize && gate_waiters.load() == 1) break;
  }
  EXPECT_EQ(pending, kRingSize);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(submitted.load());
  gate_open = true;
  submitter.join();
  EXPECT_EQ(results, encode_each(texts));
}

}  // namespace
}  // namespace tessel
