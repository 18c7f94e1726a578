// Throughput of evaluate(): matrix positions scanned per second with one and
// two workers at selective thresholds, the cost of returning hits at zero
// thresholds, and how long one long record takes to scan (the longest a
// cancellation can wait for a worker).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "../src/engine/src/evaluation_on_pool.hpp"
#include "engine/evaluation.hpp"
#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSeed = 20240611;
constexpr int kRepetitions = 5;

vok::PwmMatrix random_matrix(std::size_t length, std::mt19937& generator) {
  vok::PwmMatrix matrix(std::string(1, 'm').append(std::to_string(length)), length);
  std::uniform_int_distribution<int> count(0, 30);
  for (float& value : matrix.values) value = static_cast<float>(count(generator));
  return matrix;
}

vok::BaseSequence random_sequence(std::size_t length, std::mt19937& generator) {
  vok::BaseSequence sequence{"chr", std::vector<vok::BaseCode>(length)};
  std::uniform_int_distribution<int> base(0, 3);
  for (auto& code : sequence.bases) code = static_cast<vok::BaseCode>(base(generator));
  return sequence;
}

struct Timing {
  double median_seconds;  // median wall time of the repetitions
  std::size_t hits;       // hits of the last repetition
};

Timing time_evaluation(vok::WorkerPool& pool, const vok::CalculatorState& state) {
  std::vector<double> seconds;
  std::size_t hits = 0;
  for (int i = 0; i < kRepetitions; ++i) {
    const auto start = Clock::now();
    hits = vok::evaluate_on_pool(pool, state, nullptr).size();
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  return {seconds[seconds.size() / 2], hits};
}

std::uint64_t matrix_positions(const vok::CalculatorState& state) {
  std::uint64_t bases = 0;
  for (const auto& sequence : state.sequences) bases += sequence.bases.size();
  return 2 * bases * state.matrices.size();  // both strands
}

}  // namespace

int main() {
  std::mt19937 generator(kSeed);
  vok::CalculatorState state;
  std::uniform_int_distribution<std::size_t> length(8, 20);
  for (int i = 0; i < 200; ++i) state.matrices.push_back(random_matrix(length(generator), generator));
  // Enough work that the scan, not the fixed cost of a call, is what is timed.
  state.sequences.push_back(random_sequence(20'000'000, generator));
  state.defaults = {0.99f, 0.95f};

  std::printf("selective thresholds (css 0.99, mss 0.95): 200 matrices x 20 Mbp, both strands\n");
  double rate[3] = {};
  for (const std::size_t workers : {1u, 2u}) {
    vok::WorkerPool pool(workers);
    const Timing timing = time_evaluation(pool, state);
    rate[workers] = static_cast<double>(matrix_positions(state)) / timing.median_seconds;
    std::printf("  %zu worker(s): %.3f s median of %d, %.1f M matrix-positions/s, %zu hits\n",
                workers, timing.median_seconds, kRepetitions, rate[workers] / 1e6, timing.hits);
  }
  std::printf("  speed-up 2 vs 1 workers: %.2fx\n", rate[2] / rate[1]);

  // Output cost: the same scan with every candidate reported.
  vok::CalculatorState dense = state;
  dense.matrices.resize(4);
  dense.sequences = {random_sequence(1'000'000, generator)};
  vok::WorkerPool pool(2);
  const Timing selective = time_evaluation(pool, dense);
  dense.defaults = {0.0f, 0.0f};
  const Timing all = time_evaluation(pool, dense);
  std::printf("zero thresholds: 4 matrices x 1 Mbp, 2 workers\n");
  std::printf("  %zu hits in %.3f s (%.3f s at selective thresholds): %.2f ns per hit overall, "
              "%.2f ns per hit above the selective scan; %zu bytes per hit record\n",
              all.hits, all.median_seconds, selective.median_seconds,
              all.median_seconds * 1e9 / static_cast<double>(all.hits),
              (all.median_seconds - selective.median_seconds) * 1e9 / static_cast<double>(all.hits),
              sizeof(vok::Hit));

  // The longest uninterruptible unit: one record scanned by one matrix.
  const auto record = random_sequence(10'000'000, generator);
  for (const vok::Thresholds thresholds : {state.defaults, vok::Thresholds{0.0f, 0.0f}}) {
    auto built = vok::build_scoring_matrix(state.matrices.front(), thresholds);
    const auto& model = std::get<vok::ScoringMatrix>(built);
    const vok::SiteScanner scanner(model);
    std::vector<vok::SiteMatch> sites;
    const auto start = Clock::now();
    scanner.scan(record.bases, sites);
    std::printf("one 10 Mbp record, one matrix (L=%zu), thresholds (%g, %g): %.1f ms, %zu sites\n",
                model.length, static_cast<double>(thresholds.css),
                static_cast<double>(thresholds.mss),
                std::chrono::duration<double, std::milli>(Clock::now() - start).count(),
                sites.size());
  }
  return 0;
}
