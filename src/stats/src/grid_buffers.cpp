#include "grid_buffers.hpp"

#include <mutex>
#include <utility>

#include "stats/sum_grid.hpp"

namespace vok {
namespace {

struct Kept {
  std::mutex mutex;
  std::vector<std::vector<double>> buffers;  // given back last at the end
  std::size_t bytes = 0;                     // their capacity, in bytes
};

Kept& kept() {
  static Kept* const instance = new Kept;  // never destroyed: grids may be built at exit
  return *instance;
}

}  // namespace

namespace grid_buffers {

std::vector<double> take() {
  Kept& pool = kept();
  std::vector<double> buffer;
  {
    const std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.buffers.empty()) return buffer;
    buffer = std::move(pool.buffers.back());
    pool.buffers.pop_back();
    pool.bytes -= buffer.capacity() * sizeof(double);
  }
  buffer.clear();
  return buffer;
}

void give_back(std::vector<double> buffer) noexcept {
  const std::size_t bytes = buffer.capacity() * sizeof(double);
  if (bytes == 0) return;
  Kept& pool = kept();
  try {
    const std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.bytes + bytes > kKeptGridBufferBytes) return;  // freed with the argument, after the lock
    pool.buffers.push_back(std::move(buffer));
    pool.bytes += bytes;
  } catch (...) {
    // No room in the list: the buffer is freed with the argument.
  }
}

}  // namespace grid_buffers

void release_grid_buffers() {
  Kept& pool = kept();
  std::vector<std::vector<double>> freed;
  {
    const std::lock_guard<std::mutex> lock(pool.mutex);
    freed.swap(pool.buffers);
    pool.bytes = 0;
  }
}

}  // namespace vok
