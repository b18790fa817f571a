#include "parallel/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "model/model_builder.hpp"

namespace tessel {
namespace {

// Text starting with this byte makes the test splitter throw std::bad_alloc.
constexpr uint8_t kFailByte = '!';
// Text starting with this byte makes the test splitter wait until the gate opens.
constexpr uint8_t kGateByte = '#';

std::atomic<bool> gate_open{true};
std::atomic<int> gate_waiters{0};

// Pieces of at most four bytes; a stand-in for the real splitters, which the pool does not
// care about.
bool test_splitter(const uint8_t* text, uint64_t length, uint64_t position, Piece* out) {
  if (position >= length) return false;
  if (position == 0 && text[0] == kFailByte) throw std::bad_alloc();
  if (position == 0 && text[0] == kGateByte) {
    ++gate_waiters;
    while (!gate_open.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --gate_waiters;
  }
  out->start = position;
  out->end = position + 4 < length ? position + 4 : length;
  out->rule_kind = 0;
  out->drop_last_char = 0;
  out->last_char_start = 0;
  return true;
}

// 256 single bytes followed by a few merged tokens.
const BytePairEncoding& small_model() {
  static const std::unique_ptr<BytePairEncoding> model = [] {
    std::vector<std::string> tokens;
    for (int b = 0; b < 256; ++b) tokens.push_back(std::string(1, static_cast<char>(b)));
    for (const char* t : {"aa", "ab", "ba", "aab", "aaaa", "xy", "xyz"}) tokens.push_back(t);
    std::string bytes;
    std::vector<uint32_t> starts{0};
    for (const std::string& t : tokens) {
      bytes += t;
      starts.push_back(static_cast<uint32_t>(bytes.size()));
    }
    return build_model(reinterpret_cast<const uint8_t*>(bytes.data()), starts.data(),
                       static_cast<uint32_t>(tokens.size()));
  }();
  return *model;
}

const TokenizerModel& small_tokenizer() {
  static const TokenizerModel tokenizer{&small_model(), test_splitter};
  return tokenizer;
}

std::vector<std::string> sample_texts(size_t n, unsigned seed) {
  const char* parts[] = {"a", "b", "aa", "xyz", "ab", "q", "aaaa", "ba"};
  std::vector<std::string> texts(n);
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const size_t pieces = (state >> 24) % 12;
    for (size_t k = 0; k < pieces; ++k) {
      state = state * 1664525u + 1013904223u;
      texts[i] += parts[(state >> 16) % 8];
    }
  }
  return texts;
}

struct Batch {
  std::vector<const uint8_t*> pointers;
  std::vector<uint64_t> lengths;
  explicit Batch(const std::vector<std::string>& texts) {
    for (const std::string& t : texts) {
      pointers.push_back(reinterpret_cast<const uint8_t*>(t.data()));
      lengths.push_back(t.size());
    }
  }
};

std::vector<std::vector<uint32_t>> encode_each(const std::vector<std::string>& texts) {
  std::vector<std::vector<uint32_t>> out;
  for (const std::string& t : texts)
    out.push_back(
        tokenizer_encode(small_tokenizer(), reinterpret_cast<const uint8_t*>(t.data()), t.size()));
  return out;
}

std::vector<std::vector<uint32_t>> run_batch(WorkerPool* pool,
                                             const std::vector<std::string>& texts) {
  Batch batch(texts);
  std::vector<std::vector<uint32_t>> results(texts.size());
  encode_batch_on_pool(pool, small_tokenizer(), batch.pointers.data(), batch.lengths.data(),
                       texts.size(), results.data());
  return results;
}

TEST(ProcessorCount, WithinBounds) {
  const uint32_t n = processor_count();
  EXPECT_GE(n, 1u);
  EXPECT_LE(n, kMaxWorkerThreads);
}

TEST(ProcessPool, StartsOnceWithProcessorCountWorkers) {
  WorkerPool* first = process_worker_pool();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, process_worker_pool());
  EXPECT_EQ(first->thread_count(), processor_count());
  EXPECT_EQ(process_thread_count(), processor_count());
}

TEST(ProcessPool, ConcurrentFirstCallersSeeOnePool) {
  std::vector<std::thread> threads;
  std::vector<WorkerPool*> seen(8);
  for (int i = 0; i < 8; ++i) threads.emplace_back([&seen, i] { seen[i] = process_worker_pool(); });
  for (std::thread& t : threads) t.join();
  for (WorkerPool* p : seen) EXPECT_EQ(p, seen[0]);
}

TEST(EncodeBatch, MoreTextsThanRingSlotsInInputOrder) {
  const std::vector<std::string> texts = sample_texts(10000, 1);
  auto pool = make_worker_pool(3);
  EXPECT_EQ(run_batch(pool.get(), texts), encode_each(texts));
  EXPECT_EQ(run_batch(process_worker_pool(), texts), encode_each(texts));
}

TEST(EncodeBatch, EmptyAndSingle) {
  auto pool = make_worker_pool(2);
  EXPECT_TRUE(run_batch(pool.get(), {}).empty());
  const std::vector<std::string> one{"aabxyzq"};
  EXPECT_EQ(run_batch(pool.get(), one), encode_each(one));
  const std::vector<std::string> blank{""};
  EXPECT_EQ(run_batch(pool.get(), blank), encode_each(blank));
}

// With no pool, or a pool whose workers could not be started, the batch must still finish:
// it runs on the calling thread.
TEST(EncodeBatch, RunsOnCallerWithoutWorkers) {
  const std::vector<std::string> texts = sample_texts(5000, 2);
  EXPECT_EQ(run_batch(nullptr, texts), encode_each(texts));
  auto empty = make_worker_pool(0);
  ASSERT_EQ(empty->thread_count(), 0u);
  EXPECT_EQ(run_batch(empty.get(), texts), encode_each(texts));
}

TEST(EncodeBatch, ConcurrentSubmittersGetTheirOwnResults) {
  auto pool = make_worker_pool(4);
  constexpr int kSubmitters = 6;
  std::vector<std::vector<std::string>> inputs;
  for (int s = 0; s < kSubmitters; ++s) inputs.push_back(sample_texts(3000 + 500 * s, 10 + s));
  std::vector<std::vector<std::vector<uint32_t>>> outputs(kSubmitters);
  std::vector<std::thread> threads;
  for (int s = 0; s < kSubmitters; ++s)
    threads.emplace_back([&, s] {
      for (int round = 0; round < 3; ++round) outputs[s] = run_batch(pool.get(), inputs[s]);
    });
  for (std::thread& t : threads) t.join();
  for (int s = 0; s < kSubmitters; ++s) EXPECT_EQ(outputs[s], encode_each(inputs[s])) << s;
}

// Many tiny batches: each group is destroyed right after its wait returns, so a worker
// still touching the group after the final countdown would show up here (under TSan or
// ASan) as a use after scope.
TEST(EncodeBatch, ManyShortLivedGroups) {
  auto pool = make_worker_pool(4);
  const std::vector<std::string> texts = sample_texts(3, 3);
  const auto expected = encode_each(texts);
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int s = 0; s < 3; ++s)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i)
        if (run_batch(pool.get(), texts) != expected) ++mismatches;
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(EncodeBatch, OutOfMemoryReportedAfterAllJobsFinished) {
  auto pool = make_worker_pool(3);
  std::vector<std::string> texts = sample_texts(2000, 4);
  texts[7] = "!fails";
  texts[1500] = "!fails too";
  Batch batch(texts);
  std::vector<std::vector<uint32_t>> results(texts.size());
  EXPECT_THROW(encode_batch_on_pool(pool.get(), small_tokenizer(), batch.pointers.data(),
                                    batch.lengths.data(), texts.size(), results.data()),
               std::bad_alloc);
  // Every other job ran to completion before the failure was reported.
  const auto expected_rest = encode_each(std::vector<std::string>(texts.begin() + 1501, texts.end()));
  EXPECT_EQ(std::vector<std::vector<uint32_t>>(results.begin() + 1501, results.end()),
            expected_rest);
  // The pool is still usable afterwards.
  const std::vector<std::string> good = sample_texts(100, 5);
  EXPECT_EQ(run_batch(pool.get(), good), encode_each(good));
  // The sequential path reports the same failure.
  EXPECT_THROW(run_batch(nullptr, texts), std::bad_alloc);
}

TEST(PoolJobs, CountKindsAndUnknownKinds) {
  auto pool = make_worker_pool(2);
  const std::vector<std::string> texts = sample_texts(300, 6);
  JobGroup group;
  group.remaining.store(static_cast<int64_t>(3 * texts.size()));
  std::vector<uint64_t> counts(texts.size(), 999), limited(texts.size(), 999),
      untouched(texts.size(), 999);
  std::vector<std::vector<uint32_t>> ids(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    PoolJob job;
    job.model = &small_tokenizer();
    job.text = reinterpret_cast<const uint8_t*>(texts[i].data());
    job.length = texts[i].size();
    job.group = &group;
    job.kind = kJobCount;
    job.count = &counts[i];
    queue_job(*pool, job);
    job.kind = kJobCountTillLimit;
    job.limit = 3;
    job.count = &limited[i];
    queue_job(*pool, job);
    job.kind = 7;  // not a known kind: counted down, nothing run
    job.count = &untouched[i];
    job.ids = &ids[i];
    queue_job(*pool, job);
  }
  wait_for_group(group);
  EXPECT_EQ(group.failure.load(), kJobOk);
  const auto expected = encode_each(texts);
  for (size_t i = 0; i < texts.size(); ++i) {
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
  std::vector<std::vector<uint32_t>> results;
  std::thread submitter([&] {
    results = run_batch(pool.get(), texts);
    submitted = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int32_t pending = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> hold(pool->lock);
      pending = pool->pending;
    }
    if (pending == kRingSize && gate_waiters.load() == 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(pending, kRingSize);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(submitted.load());
  gate_open = true;
  submitter.join();
  EXPECT_TRUE(submitted.load());
  EXPECT_EQ(results, encode_each(texts));
}

}  // namespace
}  // namespace tessel
