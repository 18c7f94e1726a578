// Site scan speed on 10 Mbp of random bases: ns per candidate with a css
// threshold that about 1% of core words reach, with zero thresholds, and the
// selective scan against a loop doing only the rolling core lookups.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"

namespace {

constexpr std::size_t kRecordLength = 10'000'000;
constexpr int kRepetitions = 7;

template <typename T>
void keep(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

double median_seconds(const std::function<void()>& run) {
  std::vector<double> seconds;
  for (int r = 0; r < kRepetitions; ++r) {
    const auto start = std::chrono::steady_clock::now();
    run();
    seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2];
}

std::uint64_t candidate_count(const vok::ScoringMatrix& model, std::uint64_t n) {
  const std::uint64_t m = model.core_start;
  const std::uint64_t before_end = n >= m + 5 ? n - m - 4 : 0;
  return std::min(before_end, n - model.length + 5);
}

// The scan's candidate loop without the matrix score: rolling word, lookup, test.
[[gnu::noinline]] std::uint64_t core_lookups_only(const vok::ScoringMatrix& model,
                                                  const std::vector<vok::BaseCode>& bases) {
  const std::uint64_t candidates = candidate_count(model, bases.size());
  const vok::BaseCode* core = bases.data() + model.core_start;
  const float threshold = model.thresholds.css;
  std::uint32_t word = 0;
  for (int j = 0; j < 4; ++j) word = (word << 2) | (core[j] & 3u);
  std::uint64_t passed = 0;
  for (std::uint64_t c = 0; c < candidates; ++c) {
    word = ((word << 2) | (core[c + 4] & 3u)) & 1023u;
    passed += model.core_scores[word] >= threshold;
  }
  return passed;
}

vok::ScoringMatrix random_model(std::size_t length, std::mt19937_64& rng) {
  vok::PwmMatrix matrix("bench", length);
  for (float& x : matrix.values) x = static_cast<float>(rng() % 20);
  return std::get<vok::ScoringMatrix>(vok::build_scoring_matrix(std::move(matrix), {}));
}

void bench_length(std::size_t length, const std::vector<vok::BaseCode>& bases,
                  std::mt19937_64& rng) {
  vok::ScoringMatrix model = random_model(length, rng);
  std::vector<float> sorted(model.core_scores.begin(), model.core_scores.end());
  std::sort(sorted.begin(), sorted.end(), std::greater<>());
  // The lowest score that at most ~1% of the words (ties included) reach.
  auto words_reaching = [&](float threshold) {
    return std::count_if(sorted.begin(), sorted.end(), [&](float css) { return css >= threshold; });
  };
  float selective = sorted[0];
  for (float css : sorted) {
    if (words_reaching(css) <= static_cast<std::ptrdiff_t>(vok::kCoreWords / 100)) selective = css;
  }
  const auto passing_words = words_reaching(selective);
  const double candidates = static_cast<double>(candidate_count(model, bases.size()));
  const vok::SiteScanner scanner(model);
  std::vector<vok::SiteMatch> sites;

  auto scan_with = [&](vok::Thresholds thresholds) {
    model.thresholds = thresholds;
    const double seconds = median_seconds([&] {
      sites.clear();
      scanner.scan(bases, sites);
      keep(sites.data());
    });
    return seconds;
  };

  model.thresholds = {selective, 0.0f};
  std::uint64_t passed = 0;
  const double lookup_s = median_seconds([&] {
    passed = core_lookups_only(model, bases);
    keep(passed);
  });
  const double selective_s = scan_with({selective, 0.0f});
  const std::size_t selective_sites = sites.size();
  const double zero_s = scan_with({0.0f, 0.0f});

  std::printf("L=%zu core_start=%zu candidates=%.0f\n", length, model.core_start, candidates);
  std::printf(
      "  selective css threshold %.6g: %td of 1024 words, %.3f%% of candidates pass, %zu sites\n",
      static_cast<double>(selective), passing_words,
      100.0 * static_cast<double>(passed) / candidates, selective_sites);
  std::printf("  lookup-only loop          %7.3f ns/candidate\n", lookup_s * 1e9 / candidates);
  std::printf("  scan, selective threshold %7.3f ns/candidate  (%.2fx lookup-only)\n",
              selective_s * 1e9 / candidates, selective_s / lookup_s);
  std::printf("  scan, zero thresholds     %7.3f ns/candidate  (%zu sites)\n",
              zero_s * 1e9 / candidates, sites.size());
}

}  // namespace

int main() {
  std::mt19937_64 rng(20240611);
  std::vector<vok::BaseCode> bases(kRecordLength);
  for (auto& base : bases) base = static_cast<vok::BaseCode>(rng() & 3);
  std::printf("site scan, %zu random bases, median of %d runs\n", kRecordLength, kRepetitions);
  for (std::size_t length : {10u, 25u}) bench_length(length, bases, rng);
  return 0;
}
