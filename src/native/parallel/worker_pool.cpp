#include "parallel/worker_pool.hpp"

#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

#if defined(__linux__)
#include <sched.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define TESSEL_HAVE_PTHREAD_ATFORK 1
#endif

namespace tessel {
namespace {

void record_failure(JobGroup& group, int32_t failure) {
  int32_t seen = group.failure.load(std::memory_order_relaxed);
  while (seen < failure &&
         !group.failure.compare_exchange_weak(seen, failure, std::memory_order_relaxed)) {
  }
}

// Counts one finished job. While more than one job is left, a lock-free decrement; the
// job that takes the count from 1 to 0 is the group's last, so nothing else decrements
// concurrently and it can finish the count and signal under the lock.
void count_down(JobGroup& group) {
  int64_t seen = group.remaining.load(std::memory_order_acquire);
  while (seen > 1 && !group.remaining.compare_exchange_weak(seen, seen - 1,
                                                            std::memory_order_acq_rel)) {
  }
  if (seen == 1) {
    std::lock_guard<std::mutex> hold(group.lock);
    group.remaining.store(0, std::memory_order_release);
    group.done.notify_all();
  }
}

void worker_loop(WorkerPool* pool) {
  for (;;) {
    PoolJob job;
    {
      std::unique_lock<std::mutex> hold(pool->lock);
      pool->job_available.wait(hold, [pool] { return pool->pending != 0 || pool->stopping; });
      if (pool->pending == 0) return;  // stopping, and the ring is drained
      job = pool->ring[pool->head];
      pool->head = (pool->head + 1) % kRingSize;
      --pool->pending;
    }
    pool->space_available.notify_one();
    run_job(job);
  }
}

void start_workers(WorkerPool& pool, uint32_t count) {
  pool.threads.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    try {
      pool.threads.emplace_back(worker_loop, &pool);
    } catch (const std::system_error&) {
      break;  // keep the workers started so far
    }
  }
}

// The process pool of the current process. A child made by fork() inherits the parent's
// pool without its threads (and maybe with its lock held), so the child gets a fresh,
// not yet started state and starts its own pool on first use; the inherited one is
// abandoned untouched.
struct ProcessPoolState {
  std::once_flag started;
  WorkerPool* pool = nullptr;
};

ProcessPoolState g_first_state;
std::atomic<ProcessPoolState*> g_state{&g_first_state};
std::atomic<bool> g_no_pool{false};  // set in a child that could not get a fresh state

#if TESSEL_HAVE_PTHREAD_ATFORK
void reset_pool_in_child() {
  // Only the forking thread exists here. Without memory for a fresh state the child runs
  // its batches on the calling thread.
  try {
    g_state.store(std::make_unique<ProcessPoolState>().release(), std::memory_order_release);
  } catch (const std::bad_alloc&) {
    g_no_pool.store(true, std::memory_order_release);
  }
}
#endif

WorkerPool* make_process_pool() {
#if TESSEL_HAVE_PTHREAD_ATFORK
  static const bool registered = pthread_atfork(nullptr, nullptr, reset_pool_in_child) == 0;
  (void)registered;
#endif
  try {
    std::unique_ptr<WorkerPool> pool = make_worker_pool(processor_count());
    if (pool->thread_count() == 0) return nullptr;
    return pool.release();  // lives, with its workers, until the process ends
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void encode_sequentially(const TokenizerModel& tokenizer, const uint8_t* const* texts,
                         const uint64_t* lengths, size_t n, std::vector<uint32_t>* results) {
  for (size_t i = 0; i < n; ++i) results[i] = tokenizer_encode(tokenizer, texts[i], lengths[i]);
}

}  // namespace

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> hold(lock);
    stopping = true;
  }
  job_available.notify_all();
  for (std::thread& thread : threads) thread.join();
}

uint32_t processor_count() {
  uint32_t count = 0;
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) count = static_cast<uint32_t>(CPU_COUNT(&set));
#endif
  if (count == 0) count = std::thread::hardware_concurrency();
  if (count == 0) count = 1;
  return count < kMaxWorkerThreads ? count : kMaxWorkerThreads;
}

std::unique_ptr<WorkerPool> make_worker_pool(uint32_t threads) {
  auto pool = std::make_unique<WorkerPool>();
  start_workers(*pool, threads < kMaxWorkerThreads ? threads : kMaxWorkerThreads);
  return pool;
}

WorkerPool* process_worker_pool() {
  if (g_no_pool.load(std::memory_order_acquire)) return nullptr;
  ProcessPoolState* state = g_state.load(std::memory_order_acquire);
  std::call_once(state->started, [state] { state->pool = make_process_pool(); });
  return state->pool;
}

uint32_t process_thread_count() {
  const WorkerPool* pool = process_worker_pool();
  return pool != nullptr ? pool->thread_count() : 1;
}

void queue_job(WorkerPool& pool, const PoolJob& job) {
  {
    std::unique_lock<std::mutex> hold(pool.lock);
    pool.space_available.wait(hold, [&pool] { return pool.pending < kRingSize; });
    pool.ring[pool.tail] = job;
    pool.tail = (pool.tail + 1) % kRingSize;
    ++pool.pending;
  }
  pool.job_available.notify_one();
}

void run_job(const PoolJob& job) {
  try {
    switch (job.kind) {
      case kJobEncode:
        *job.ids = tokenizer_encode(*job.model, job.text, job.length);
        break;
      case kJobCount:
        *job.count = tokenizer_count(*job.model, job.text, job.length);
        break;
      case kJobCountTillLimit:
        *job.count = tokenizer_count_till_limit(*job.model, job.text, job.length, job.limit);
        break;
      default:
        break;  // unknown kinds only count down
    }
  } catch (const std::bad_alloc&) {
    record_failure(*job.group, kJobOutOfMemory);
  } catch (...) {
    record_failure(*job.group, kJobOtherError);
  }
  if (job.finished != nullptr) {
    std::lock_guard<std::mutex> hold(job.group->lock);
    job.finished->store(1, std::memory_order_release);
    job.group->done.notify_all();
  }
  count_down(*job.group);
}

void wait_for_group(JobGroup& group) {
  std::unique_lock<std::mutex> hold(group.lock);
  group.done.wait(hold, [&group] { return group.remaining.load(std::memory_order_acquire) <= 0; });
}

EncodeBatchRun::EncodeBatchRun(WorkerPool* pool, const TokenizerModel& tokenizer,
                               const uint8_t* const* texts, const uint64_t* lengths, size_t n,
                               std::vector<uint32_t>* results)
    : finished_(std::make_unique<std::atomic<uint8_t>[]>(n)) {
  if (pool == nullptr || pool->thread_count() == 0) {
    encode_sequentially(tokenizer, texts, lengths, n, results);
    for (size_t i = 0; i < n; ++i) finished_[i].store(1, std::memory_order_relaxed);
    return;
  }
  group_.remaining.store(static_cast<int64_t>(n), std::memory_order_relaxed);
  PoolJob job;
  job.model = &tokenizer;
  job.kind = kJobEncode;
  job.group = &group_;
  for (size_t i = 0; i < n; ++i) {
    job.text = texts[i];
    job.length = lengths[i];
    job.ids = &results[i];
    job.finished = &finished_[i];
    queue_job(*pool, job);
  }
}

EncodeBatchRun::~EncodeBatchRun() { wait_all(); }

void EncodeBatchRun::wait_for(size_t i) {
  if (finished(i)) return;
  std::unique_lock<std::mutex> hold(group_.lock);
  group_.done.wait(hold, [this, i] { return finished(i); });
}

void EncodeBatchRun::wait_all() { wait_for_group(group_); }

void EncodeBatchRun::throw_if_failed() const {
  switch (group_.failure.load(std::memory_order_relaxed)) {
    case kJobOk:
      return;
    case kJobOutOfMemory:
      throw std::bad_alloc();
    default:
      throw std::runtime_error("a worker thread failed to encode a text");
  }
}

void encode_batch_on_pool(WorkerPool* pool, const TokenizerModel& tokenizer,
                          const uint8_t* const* texts, const uint64_t* lengths, size_t n,
                          std::vector<uint32_t>* results) {
  EncodeBatchRun run(pool, tokenizer, texts, lengths, n, results);
  run.wait_all();
  run.throw_if_failed();
}

}  // namespace tessel
