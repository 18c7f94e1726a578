#include "stream/workers.hpp"

#include <memory>

#include "stream/errors.hpp"
#include "worker_pool.hpp"

namespace vok::stream {

std::size_t worker_threads(std::size_t threads) {
  return threads > 0 ? threads : shared_worker_pool().thread_count();
}

void run_on_workers(std::size_t count, std::size_t threads, const std::function<void(std::size_t)>& task,
                    const std::function<bool()>& interrupted) {
  std::unique_ptr<WorkerPool> own_pool;
  if (threads > 0) own_pool = std::make_unique<WorkerPool>(threads);
  WorkerPool& pool = own_pool ? *own_pool : shared_worker_pool();
  const PoolTask indexed = [&](std::size_t i, const StopSignal&) { task(i); };
  if (pool.run(count, indexed, interrupted) == RunOutcome::kInterrupted) throw ScanInterrupted();
}

}  // namespace vok::stream
