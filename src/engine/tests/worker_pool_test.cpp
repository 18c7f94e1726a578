#include "worker_pool.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Runs `count` tasks that count their own executions.
std::vector<int> run_counting(vok::WorkerPool& pool, std::size_t count) {
  std::vector<std::atomic<int>> runs(count);
  const vok::PoolTask task = [&](std::size_t index, const vok::StopSignal&) { ++runs[index]; };
  EXPECT_EQ(pool.run(count, task, nullptr), vok::RunOutcome::kCompleted);
  return std::vector<int>(runs.begin(), runs.end());
}

class PoolSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PoolSizes, RunsEveryIndexExactlyOnce) {
  vok::WorkerPool pool(GetParam());
  EXPECT_EQ(pool.thread_count(), GetParam());
  for (const std::size_t count : {0u, 1u, 7u, 1000u}) {
    const auto runs = run_counting(pool, count);
    EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), static_cast<long>(count)) << count;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PoolSizes, ::testing::Values(1u, 2u, 5u));

TEST(WorkerPool, RethrowsTheLowestIndexFailureAfterEarlierTasksFinish) {
  vok::WorkerPool pool(4);
  std::vector<std::atomic<int>> finished(200);
  const vok::PoolTask task = [&](std::size_t index, const vok::StopSignal&) {
    if (index == 40) throw std::runtime_error("forty");
    if (index == 9) {
      std::this_thread::sleep_for(30ms);  // fails after a later task did
      throw std::runtime_error("nine");
    }
    ++finished[index];
  };
  try {
    pool.run(finished.size(), task, nullptr);
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "nine");
  }
  for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(finished[i], 1) << i;
  // The pool is still whole afterwards.
  const auto runs = run_counting(pool, 100);
  EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), 100);
}

TEST(WorkerPool, CarriesAnyExceptionType) {
  vok::WorkerPool pool(2);
  const vok::PoolTask task = [](std::size_t index, const vok::StopSignal&) {
    if (index == 3) throw std::bad_alloc();
  };
  EXPECT_THROW(pool.run(10, task, nullptr), std::bad_alloc);
}

TEST(WorkerPool, InterruptionStopsRunningTasksAndLeavesThePoolUsable) {
  vok::WorkerPool pool(2);
  std::atomic<int> started{0};
  std::atomic<int> stopped{0};
  // Tasks that only end when asked to stop (bounded for safety).
  const vok::PoolTask task = [&](std::size_t, const vok::StopSignal& stop) {
    ++started;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!stop.requested() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    if (stop.requested()) ++stopped;
  };
  int polls = 0;
  const auto begin = std::chrono::steady_clock::now();
  const auto outcome = pool.run(50, task, [&] { return ++polls == 3; });
  EXPECT_EQ(outcome, vok::RunOutcome::kInterrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_EQ(polls, 3);
  EXPECT_EQ(started.load(), 2);  // no new task starts after cancellation
  EXPECT_EQ(stopped.load(), 2);
  const auto runs = run_counting(pool, 20);
  EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), 20);
}

TEST(WorkerPool, ExceptionFromTheInterruptCheckPropagatesAfterWorkersLeave) {
  vok::WorkerPool pool(2);
  std::atomic<int> inside{0};
  const vok::PoolTask task = [&](std::size_t, const vok::StopSignal& stop) {
    ++inside;
    while (!stop.requested()) std::this_thread::sleep_for(1ms);
    --inside;
  };
  EXPECT_THROW(pool.run(4, task, [] () -> bool { throw std::logic_error("check"); }),
               std::logic_error);
  EXPECT_EQ(inside.load(), 0);
}

TEST(WorkerPool, ConcurrentCallersTakeTurns) {
  vok::WorkerPool pool(2);
  std::vector<std::thread> callers;
  std::atomic<int> complete{0};
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&] {
      for (int round = 0; round < 50; ++round) {
        const auto runs = run_counting(pool, 17);
        if (std::count(runs.begin(), runs.end(), 1) == 17) ++complete;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(complete.load(), 200);
}

TEST(WorkerPool, RunStartedFromTheInterruptCheckDoesNotDeadlock) {
  vok::WorkerPool pool(2);
  std::atomic<bool> release{false};
  const vok::PoolTask outer = [&](std::size_t, const vok::StopSignal& stop) {
    while (!release && !stop.requested()) std::this_thread::sleep_for(1ms);
  };
  std::vector<int> nested_runs;
  const auto check = [&] {
    if (nested_runs.empty()) {
      nested_runs = run_counting(pool, 5);
      release = true;
    }
    return false;
  };
  EXPECT_EQ(pool.run(2, outer, check), vok::RunOutcome::kCompleted);
  EXPECT_EQ(nested_runs, std::vector<int>(5, 1));  // each nested task ran exactly once
}

TEST(WorkerPool, NoTaskStartsAfterAFailure) {
  vok::WorkerPool pool(1);  // one worker: task order is deterministic
  std::atomic<int> started{0};
  const vok::PoolTask task = [&](std::size_t index, const vok::StopSignal&) {
    ++started;
    if (index == 2) throw std::runtime_error("two");
  };
  EXPECT_THROW(pool.run(1000, task, nullptr), std::runtime_error);
  EXPECT_EQ(started.load(), 3);
}

// The caller of a run holds a lock of its own (the interpreter lock) while it
// waits, and lends it out from its interrupt check (a signal handler is
// interpreted code, which may switch threads). The borrower starts a run of
// its own while holding the lock, so the caller can only get its lock back
// once that run has finished while the first is still in progress.
void run_while_lending_the_callers_lock(std::size_t workers) {
  alarm(20);  // a deadlock ends the child with SIGALRM
  vok::WorkerPool pool(workers);
  std::mutex interpreter;
  std::unique_lock held(interpreter);
  std::atomic<bool> lent{false};
  std::atomic<bool> borrower_running{false};
  std::vector<int> borrower_runs;
  std::thread borrower([&] {
    while (!lent) std::this_thread::sleep_for(1ms);
    const std::lock_guard hold(interpreter);
    borrower_running = true;
    borrower_runs = run_counting(pool, 9);
  });
  // Busy until the lock has been lent, so the first run is still in progress.
  const vok::PoolTask outer = [&](std::size_t, const vok::StopSignal&) {
    while (!lent) std::this_thread::sleep_for(1ms);
  };
  const auto lend_once = [&] {
    if (!lent.exchange(true)) {
      held.unlock();
      while (!borrower_running) std::this_thread::sleep_for(1ms);
      held.lock();
    }
    return false;
  };
  const auto outcome = pool.run(2 * workers, outer, lend_once);
  borrower.join();
  const bool ok = outcome == vok::RunOutcome::kCompleted &&
                  borrower_runs == std::vector<int>(9, 1);
  std::_Exit(ok ? 0 : 1);
}

TEST_P(PoolSizes, CallerThatLendsItsLockToAnotherCallerGetsItBack) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_while_lending_the_callers_lock(GetParam()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
