#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tokenizer/tokenizer_model.hpp"

namespace tessel {

inline constexpr int32_t kRingSize = 4096;
inline constexpr uint32_t kMaxWorkerThreads = 256;

enum JobKind : int32_t {
  kJobEncode = 0,
  kJobCount = 1,
  kJobCountTillLimit = 2,
};

// How a group's jobs failed; the worst failure of any job wins.
enum JobFailure : int32_t {
  kJobOk = 0,
  kJobOutOfMemory = 1,
  kJobOtherError = 2,
};

// Countdown of one submitter's jobs. It lives in the submitter's frame: the worker that
// finishes the last job decrements and signals while holding `lock`, and the submitter
// leaves its wait only by taking `lock` after that, so no worker touches the group once
// the submitter has seen remaining reach 0.
struct JobGroup {
  std::atomic<int64_t> remaining{0};
  std::atomic<int32_t> failure{kJobOk};  // written before the job's countdown
  std::mutex lock;
  std::condition_variable done;
};

// One queued unit of work. Slots are written by the worker that runs the job, before it
// counts the group down, so they are complete once the group's wait has returned.
struct PoolJob {
  const TokenizerModel* model = nullptr;
  const uint8_t* text = nullptr;
  uint64_t length = 0;
  int32_t kind = kJobEncode;
  uint64_t limit = 0;                  // kJobCountTillLimit
  std::vector<uint32_t>* ids = nullptr;  // kJobEncode: receives the ids (and their count)
  uint64_t* count = nullptr;           // kJobCount, kJobCountTillLimit
  JobGroup* group = nullptr;
  // Optional: set to 1 (under the group's lock, with a notification on its condition) once
  // this job's result is written, so the submitter can take results while others still run.
  std::atomic<uint8_t>* finished = nullptr;
};

// Fixed ring of pending jobs served by a set of worker threads. Invariant (under lock):
// pending == (tail - head) mod kRingSize, except pending == kRingSize when head == tail
// and the ring is full.
struct WorkerPool {
  PoolJob ring[kRingSize];
  int32_t head = 0;
  int32_t tail = 0;
  int32_t pending = 0;
  bool stopping = false;  // only pools made by make_worker_pool are ever stopped
  std::mutex lock;
  std::condition_variable job_available;
  std::condition_variable space_available;
  std::vector<std::thread> threads;

  WorkerPool() = default;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Lets the workers drain the ring, then joins them.
  ~WorkerPool();

  uint32_t thread_count() const { return static_cast<uint32_t>(threads.size()); }
};

// CPUs this process may run on, at least 1 and at most kMaxWorkerThreads.
uint32_t processor_count();

// A pool with up to `threads` workers (fewer when the system refuses to start more; none
// at all is possible). Used by the process pool and by tests. Throws std::bad_alloc.
std::unique_ptr<WorkerPool> make_worker_pool(uint32_t threads);

// The process-wide pool, started on first call with processor_count() workers and never
// stopped. Null when it could not be made or no worker could be started; callers then
// run their work on their own thread.
WorkerPool* process_worker_pool();

// Worker threads of the process pool (starting it if needed), or 1 when there is none.
uint32_t process_thread_count();

// Adds a job at the tail, waiting while the ring is full. The job's group must already
// count it. The pool must have at least one worker.
void queue_job(WorkerPool& pool, const PoolJob& job);

// Runs one job on the calling thread and counts its group down; what a worker does with
// each job it takes. Records a failure in the group instead of throwing.
void run_job(const PoolJob& job);

// Blocks until the group's remaining count is 0.
void wait_for_group(JobGroup& group);

// A batch encoded on the pool, one job per text, whose results can be taken in input
// order as they finish while the workers go on with later texts: the submitter turns
// finished results into its own objects instead of idling until the whole batch is done.
class EncodeBatchRun {
 public:
  // Encodes texts[i] (lengths[i] bytes) into results[i] for i < n. Queues every job
  // (waiting for ring space when the batch is larger than the ring) and returns. With no
  // pool, or a pool without workers, encodes every text here, one after another. Throws
  // std::bad_alloc (nothing queued, or, without a pool, from the encoding itself).
  EncodeBatchRun(WorkerPool* pool, const TokenizerModel& tokenizer, const uint8_t* const* texts,
                 const uint64_t* lengths, size_t n, std::vector<uint32_t>* results);
  // Waits for every job: they point into this object and into the results.
  ~EncodeBatchRun();
  EncodeBatchRun(const EncodeBatchRun&) = delete;
  EncodeBatchRun& operator=(const EncodeBatchRun&) = delete;

  // Whether results[i] is written (it stays untouched by the workers afterwards).
  bool finished(size_t i) const { return finished_[i].load(std::memory_order_acquire) != 0; }
  bool all_finished() const { return group_.remaining.load(std::memory_order_acquire) <= 0; }
  void wait_for(size_t i);
  void wait_all();
  // After wait_all: throws std::bad_alloc when a text could not be encoded for lack of
  // memory, std::runtime_error for any other failure of a job.
  void throw_if_failed() const;

 private:
  JobGroup group_;
  std::unique_ptr<std::atomic<uint8_t>[]> finished_;
};

// Encodes texts[i] (lengths[i] bytes) into results[i] for i < n, one job per text on the
// pool, and returns when all are done. With no pool, or a pool without workers, the texts
// are encoded one after another on the calling thread. Throws std::bad_alloc when a text
// could not be encoded for lack of memory (after every job of the batch has finished).
void encode_batch_on_pool(WorkerPool* pool, const TokenizerModel& tokenizer,
                          const uint8_t* const* texts, const uint64_t* lengths, size_t n,
                          std::vector<uint32_t>* results);

}  // namespace tessel
