#include "worker_pool.hpp"

#include <signal.h>

#include <algorithm>
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
// run: that nested run runs its tasks on the calling thread at once instead
// of waiting for a worker to come free from the outer run's tasks.
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

// A run has work to hand out while it is neither cancelled nor failed below
// its next index. Indices go out in increasing order, so when a task fails
// every lower index has already been taken and will finish; higher ones are
// dropped.
bool claimable(const PoolRun& run) {
  return run.next_index < run.count && !run.cancelled.load(std::memory_order_relaxed) &&
         run.next_index < run.lowest_failure.load(std::memory_order_relaxed);
}

bool finished(const PoolRun& run) { return run.running == 0 && !claimable(run); }

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

PoolRun* WorkerPool::next_claimable_run() const {
  for (auto run = runs_.rbegin(); run != runs_.rend(); ++run) {
    if (claimable(**run)) return *run;
  }
  return nullptr;
}

// One task at a time, each time from the newest run that has work, so that a
// run posted while older ones are busy gets the next free worker.
void WorkerPool::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    PoolRun* run = nullptr;
    work_ready_.wait(lock, [&] { return shutting_down_ || (run = next_claimable_run()) != nullptr; });
    if (shutting_down_) return;
    const std::size_t index = run->next_index++;
    ++run->running;
    lock.unlock();
    std::exception_ptr failure;
    try {
      (*run->task)(index, StopSignal(*run, index));
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (failure && index < run->lowest_failure.load()) {
      run->lowest_failure.store(index);
      run->failure = std::move(failure);
    }
    --run->running;
    if (finished(*run)) run->done.notify_all();
  }
}

RunOutcome WorkerPool::run(std::size_t count, const PoolTask& task,
                           const std::function<bool()>& interrupted) {
  if (count == 0) return RunOutcome::kCompleted;
  if (waiting_in_run) return run_inline(count, task, interrupted);
  const WaitingInRun waiting;
  PoolRun run;
  run.count = count;
  run.task = &task;

  bool was_interrupted = false;
  std::exception_ptr callback_failure;
  {
    std::unique_lock lock(mutex_);
    runs_.push_back(&run);
    work_ready_.notify_all();
    while (!finished(run)) {
      if (!interrupted) {
        run.done.wait(lock);
        continue;
      }
      run.done.wait_for(lock, kInterruptPollInterval);
      if (finished(run) || run.cancelled.load()) continue;
      lock.unlock();
      try {
        was_interrupted = interrupted();
      } catch (...) {
        callback_failure = std::current_exception();
      }
      lock.lock();
      // Workers stop between tasks and between pieces of a record; the run's
      // data must outlive them, so keep waiting until all have left.
      if (was_interrupted || callback_failure) run.cancelled.store(true);
    }
    runs_.erase(std::find(runs_.begin(), runs_.end(), &run));
  }
  if (callback_failure) std::rethrow_exception(callback_failure);
  if (was_interrupted) return RunOutcome::kInterrupted;
  if (run.failure) std::rethrow_exception(run.failure);
  return RunOutcome::kCompleted;
}

}  // namespace vok
