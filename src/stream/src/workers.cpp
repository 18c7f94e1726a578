#include "stream/workers.hpp"

#include "worker_pool.hpp"

namespace vok::stream {

std::size_t worker_threads(std::size_t threads) {
  return threads > 0 ? threads : shared_worker_pool().thread_count();
}

}  // namespace vok::stream
