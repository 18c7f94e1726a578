#pragma once
// How many worker threads a run asked for with `threads` gets.
#include <cstddef>

namespace vok::stream {

// `threads` itself, or for 0 the size of the shared worker pool (the CPUs the
// process may use, or what the environment sets; see the engine's pool).
std::size_t worker_threads(std::size_t threads);

}  // namespace vok::stream
