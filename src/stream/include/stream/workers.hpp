#pragma once
// The worker threads a run asks for with `threads`: 0 for the process's
// shared pool, more for a private pool of that size.
#include <cstddef>
#include <functional>

namespace vok::stream {

// `threads` itself, or for 0 the size of the shared worker pool (the CPUs the
// process may use, or what the environment sets; see the engine's pool).
std::size_t worker_threads(std::size_t threads);

// Runs task(i) for every i in [0, count) on those workers while the caller
// waits, asking `interrupted` (if set) about every 20 ms: a true answer
// throws ScanInterrupted. A failing task's exception is rethrown, the one of
// the lowest index.
void run_on_workers(std::size_t count, std::size_t threads, const std::function<void(std::size_t)>& task,
                    const std::function<bool()>& interrupted);

}  // namespace vok::stream
