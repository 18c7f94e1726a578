#include "worker_pool.hpp"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>

namespace vok {
namespace {

constexpr std::size_t kWorkerStackBytes = std::size_t{1} << 20;  // scans keep little on the stack
constexpr auto kInterruptPollInterval = std::chrono::milliseconds(20);

// Set while this thread waits in run(). The interrupt check runs arbitrary
// code on the waiting thread (signal handlers, say), which may itself start a
// run: that nested run cannot wait for workers busy with the outer one, so it
// runs its tasks on the calling thread instead.
thread_local bool waiting_in_run = false;

// Clears waiting_in_run on every path out of run().
class WaitingInRun {
 public:
  WaitingInRun() { waiting_in_run = true; }
  ~WaitingInRun() { waiting_in_run = false; }
  WaitingInRun(const WaitingInRun&) = delete;
  WaitingInRun& operator=(const WaitingInRun&) = delete;
};

// Runs every task in index order on the calling thread; the first failure
// propagates at once.
RunOutcome run_inline(std::size_t count, const PoolTask& task,
                      const std::function<bool()>& interrupted) {
  PoolRun run;
  run.count = count;
  for (std::size_t index = 0; index < count; ++index) {
    if (interrupted && interrupted()) return RunOutcome::kInterrupted;
    task(index, StopSignal(run, index));
  }
  return RunOutcome::kCompleted;
}

void record_failure(PoolRun& run, std::size_t index, std::exception_ptr failure) {
  std::lock_guard lock(run.failure_mutex);
  if (index < run.lowest_failure.load()) {
    run.lowest_failure.store(index);
    run.failure = std::move(failure);
  }
}

// Blocks every signal on the creating thread while workers start, so that
// they inherit a full mask and signals keep going to the caller's threads.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;  // the mask to restore
};

}  // namespace

bool StopSignal::requested() const {
  return run_.cancelled.load(std::memory_order_relaxed) ||
         run_.lowest_failure.load(std::memory_order_relaxed) < index_;
}

WorkerPool::WorkerPool(std::size_t thread_count) {
  if (thread_count == 0) thread_count = 1;  // a run needs someone to do it
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
  int last_error = 0;
  {
    const SignalsBlocked blocked;
    threads_.reserve(thread_count);
    for (std::size_t i = 0; i < thread_count; ++i) {
      pthread_t thread;
      last_error = pthread_create(&thread, &attributes, &WorkerPool::thread_main, this);
      if (last_error != 0) break;  // run with the workers that did start
      const std::string name = "vok-worker-" + std::to_string(i);
      pthread_setname_np(thread, name.substr(0, 15).c_str());
      threads_.push_back(thread);
    }
  }
  pthread_attr_destroy(&attributes);
  if (threads_.empty()) {
    throw std::system_error(last_error, std::generic_category(), "cannot start worker threads");
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    shutting_down_ = true;
  }
  work_ready_.notify_all();
  for (const pthread_t thread : threads_) pthread_join(thread, nullptr);
}

void* WorkerPool::thread_main(void* pool) {
  static_cast<WorkerPool*>(pool)->work();
  return nullptr;
}

void WorkerPool::work() {
  std::unique_lock lock(mutex_);
  std::uint64_t seen = 0;  // runs are posted only after the constructor returns
  for (;;) {
    work_ready_.wait(lock, [&] { return shutting_down_ || generation_ != seen; });
    if (shutting_down_) return;
    seen = generation_;
    PoolRun* run = current_;
    if (run == nullptr) continue;  // that run ended before this worker woke
    ++run->workers_inside;
    lock.unlock();
    drain(*run);
    lock.lock();
    if (--run->workers_inside == 0) run_done_.notify_all();
  }
}

void WorkerPool::drain(PoolRun& run) {
  // Indices go out in increasing order, so when a task fails every lower
  // index has already been taken and will finish; higher ones are dropped.
  while (!run.cancelled.load(std::memory_order_relaxed)) {
    const std::size_t index = run.next_index.fetch_add(1);
    if (index >= run.count || index > run.lowest_failure.load()) return;
    try {
      (*run.task)(index, StopSignal(run, index));
    } catch (...) {
      record_failure(run, index, std::current_exception());
    }
  }
}

bool WorkerPool::finished(const PoolRun& run) const {
  if (run.workers_inside != 0) return false;
  return run.next_index.load() >= run.count || run.cancelled.load() ||
         run.lowest_failure.load() != SIZE_MAX;
}

RunOutcome WorkerPool::run(std::size_t count, const PoolTask& task,
                           const std::function<bool()>& interrupted) {
  if (count == 0) return RunOutcome::kCompleted;
  if (waiting_in_run) return run_inline(count, task, interrupted);
  std::lock_guard turn(caller_mutex_);
  const WaitingInRun waiting;
  PoolRun run;
  run.count = count;
  run.task = &task;

  bool was_interrupted = false;
  std::exception_ptr callback_failure;
  {
    std::unique_lock lock(mutex_);
    current_ = &run;
    ++generation_;
    work_ready_.notify_all();
    while (!finished(run)) {
      run_done_.wait_for(lock, kInterruptPollInterval);
      if (finished(run) || !interrupted || run.cancelled.load()) continue;
      lock.unlock();
      try {
        was_interrupted = interrupted();
      } catch (...) {
        callback_failure = std::current_exception();
      }
      lock.lock();
      // Workers stop between tasks and between strand records; the run's
      // data must outlive them, so keep waiting until all have left.
      if (was_interrupted || callback_failure) run.cancelled.store(true);
    }
    current_ = nullptr;
  }
  if (callback_failure) std::rethrow_exception(callback_failure);
  if (was_interrupted) return RunOutcome::kInterrupted;
  if (run.failure) std::rethrow_exception(run.failure);
  return RunOutcome::kCompleted;
}

}  // namespace vok
