#pragma once
// A fixed set of worker threads that run indexed tasks for one caller at a time.
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

namespace vok {

struct PoolRun;

// Lets a running task notice that its result is no longer wanted: the caller
// cancelled the run, or a task with a lower index failed.
class StopSignal {
 public:
  StopSignal(const PoolRun& run, std::size_t index) : run_(run), index_(index) {}
  bool requested() const;

 private:
  const PoolRun& run_;  // the run the task belongs to
  std::size_t index_;   // the task's index
};

using PoolTask = std::function<void(std::size_t index, const StopSignal& stop)>;

enum class RunOutcome { kCompleted, kInterrupted };

// The state of one run, shared between its caller and the workers. The
// counters are guarded by the pool's mutex; the two flags that a running task
// polls through its StopSignal are atomic.
struct PoolRun {
  std::size_t count = 0;                         // tasks 0 .. count-1
  const PoolTask* task = nullptr;                // what every index runs
  std::size_t next_index = 0;                    // the next task to hand out
  std::size_t running = 0;                       // tasks handed out and not yet returned
  std::atomic<bool> cancelled{false};            // the caller gave up on the run
  std::atomic<std::size_t> lowest_failure{SIZE_MAX};  // index of the earliest failed task
  std::exception_ptr failure;                    // what the task at lowest_failure threw
  std::condition_variable done;                  // signalled when the last task returns
};

class WorkerPool {
 public:
  // Starts `thread_count` workers (at least one must start, else throws
  // std::system_error).
  explicit WorkerPool(std::size_t thread_count);
  // Stops and joins the workers; no run may be in progress. The shared pool
  // is never destroyed; private pools (tests, benchmarks) are.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t thread_count() const { return threads_.size(); }

  // Runs task(i) for every i in [0, count) on the workers; the calling thread
  // only waits, calling `interrupted` (if set) about every 20 ms. Returns
  // kInterrupted when `interrupted` answered true (the workers have left the
  // run by then); otherwise rethrows the exception of the lowest-index task
  // that failed, after every task below it has finished; no task above it
  // starts after the failure.
  //
  // Any number of threads may run at once, and the caller holds nothing that
  // a worker needs while it waits: a caller that holds a lock of its own
  // (the interpreter's) and lends it out from `interrupted` can always get it
  // back, whatever the borrower runs meanwhile. Workers serve the newest run
  // first, since its caller is the one keeping the others waiting. A run
  // started from inside `interrupted` runs its tasks on the calling thread.
  RunOutcome run(std::size_t count, const PoolTask& task, const std::function<bool()>& interrupted);

 private:
  static void* thread_main(void* pool);
  void work();
  PoolRun* next_claimable_run() const;

  std::mutex mutex_;                     // guards everything below and the runs' counters
  std::condition_variable work_ready_;   // a run was posted, or shutdown
  std::vector<PoolRun*> runs_;           // runs in progress, oldest first
  bool shutting_down_ = false;           // set by the destructor
  std::vector<pthread_t> threads_;       // the started workers
};

// The process-wide pool, created on first use with configured_pool_size()
// workers and never destroyed. A child process forked after it was created
// gets a fresh pool on its own first use.
WorkerPool& shared_worker_pool();

}  // namespace vok
