#include <pthread.h>

#include <atomic>
#include <mutex>

#include "pool_size.hpp"
#include "worker_pool.hpp"

namespace vok {
namespace {

std::atomic<WorkerPool*> shared_pool{nullptr};              // created on first use, never freed
std::atomic<std::mutex*> creation_mutex{new std::mutex()};  // replaced in a forked child

// In a child forked from a process that has the pool, the workers do not
// exist and the pool's mutexes may be held by threads that are gone. The
// old objects are leaked; the child builds its own pool on first use.
void forget_pool_in_child() {
  shared_pool.store(nullptr);
  creation_mutex.store(new std::mutex());
}

}  // namespace

WorkerPool& shared_worker_pool() {
  if (WorkerPool* pool = shared_pool.load(std::memory_order_acquire)) return *pool;
  std::lock_guard lock(*creation_mutex.load());
  if (WorkerPool* pool = shared_pool.load(std::memory_order_acquire)) return *pool;
  static const int fork_handler_registered =
      pthread_atfork(nullptr, nullptr, &forget_pool_in_child);
  (void)fork_handler_registered;
  auto* pool = new WorkerPool(configured_pool_size());
  shared_pool.store(pool, std::memory_order_release);
  return *pool;
}

}  // namespace vok
