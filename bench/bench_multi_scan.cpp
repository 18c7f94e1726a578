// The multi-model scan against the one-model site scan, on real matrices
// (a TRANSFAC file) and random bases, both strands, one thread:
//
//   bench_multi_scan MATRICES.transfac [MBP=10] [ROUNDS=3] [SETS=1,10,100,all] [CUTOFFS=both] [quick]
//
// CUTOFFS is both, core or mss-only. "quick" checks the old scan on at most
// 0.2 Mbp, once, and leaves out the one-strand-after-the-other rows and the
// cost model.
//
// Sets of 1, 10, 100 and all matrices (spread evenly over the file), at two
// kinds of cut-offs: "core" (css passed by the two best of the 1024 core
// words, about 0.2% of random positions, and mss 0.80) and "mss-only" (css 0
// and the mss that about 1e-4 of random windows reach, estimated per matrix
// from 200,000 random windows). Times are CPU seconds of the scanning
// thread, medians of the rounds. For every row: the old scan, the new scan
// with the scalar and the AVX2 kernel, matrix-positions per second, hits and
// candidates per position. The old scan of large sets runs on a tenth of the
// bases (its cost is linear in them); the new scan's sites are checked
// against it there, bit for bit. "words" rows find every model's candidates
// by its core word (no deficit filter), to show what the filter adds. Last,
// a cost model of the new scan.
#include <algorithm>
#include <bit>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "parser/transfac_reader.hpp"
#include "scan_state.hpp"
#include "scan/multi_scan.hpp"
#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"

namespace {

// CPU time of this thread: on a shared machine it does not count the time
// other processes hold the core.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}
using Sites = std::vector<std::vector<vok::SiteMatch>>;

struct Record {
  std::vector<vok::BaseCode> forward;  // random bases
  std::vector<vok::BaseCode> reverse;  // the same reversed
};

Record random_record(std::size_t length, std::uint64_t seed) {
  Record record;
  record.forward.resize(length);
  std::mt19937_64 rng(seed);
  for (std::size_t i = 0; i < length; i += 32) {
    std::uint64_t bits = rng();
    for (std::size_t j = i; j < std::min(length, i + 32); ++j, bits >>= 2) {
      record.forward[j] = static_cast<vok::BaseCode>(bits & 3);
    }
  }
  record.reverse.assign(record.forward.rbegin(), record.forward.rend());
  return record;
}

std::vector<vok::ScoringMatrix> load_models(const char* path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  auto loaded = vok::load_transfac(text.str());
  auto* matrices = std::get_if<std::vector<vok::PwmMatrix>>(&loaded);
  if (matrices == nullptr) {
    std::fprintf(stderr, "%s: not a readable TRANSFAC file\n", path);
    std::exit(2);
  }
  std::vector<vok::ScoringMatrix> models;
  for (auto& matrix : *matrices) {
    auto built = vok::build_scoring_matrix(std::move(matrix), {});
    if (auto* model = std::get_if<vok::ScoringMatrix>(&built)) models.push_back(std::move(*model));
  }
  return models;
}

// The mss that a fraction `p` of random windows reach, from `windows` of them.
float mss_at_p(const vok::ScoringMatrix& model, const Record& sample, double p) {
  vok::ScoringMatrix open = model;
  open.thresholds = {0.0f, -INFINITY};
  std::vector<vok::SiteMatch> all;
  vok::SiteScanner(open).scan(sample.forward, all);
  std::vector<float> mss;
  for (const auto& site : all) mss.push_back(site.mss);
  const std::size_t k = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(p * mss.size())));
  std::nth_element(mss.begin(), mss.begin() + (k - 1), mss.end(), std::greater<>());
  return mss[k - 1];
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Run {
  double seconds = 0;           // median over rounds
  std::uint64_t hits = 0;       // sites found
  std::uint64_t candidates = 0; // window sums computed (new scan)
};

Run run_old(const std::vector<vok::ScoringMatrix>& models, const Record& record, int rounds,
            Sites* keep = nullptr) {
  std::vector<vok::SiteScanner> scanners(models.begin(), models.end());
  std::vector<double> seconds;
  Run run;
  Sites sites(models.size());
  for (int r = 0; r < rounds; ++r) {
    run.hits = 0;
    const double start = cpu_seconds();
    for (std::size_t k = 0; k < models.size(); ++k) {
      sites[k].clear();
      scanners[k].scan(record.forward, sites[k]);
      scanners[k].scan(record.reverse, sites[k]);
      run.hits += sites[k].size();
    }
    seconds.push_back(cpu_seconds() - start);
  }
  if (keep != nullptr) *keep = std::move(sites);
  run.seconds = median(seconds);
  return run;
}

// The new scan, both strands in one pass (as the engine scans them) or one
// strand after the other.
Run run_new(const vok::MultiScanner& scanner, const Record& record, int rounds,
            Sites* keep = nullptr, bool one_pass = true) {
  std::vector<vok::CandidateRange> forward(scanner.size()), reverse(scanner.size());
  for (std::size_t k = 0; k < scanner.size(); ++k) {
    forward[k] = {0, scanner.scanner(k).candidate_count(record.forward.size())};
    reverse[k] = forward[k];
  }
  std::vector<double> seconds;
  Run run;
  Sites sites(scanner.size()), other(scanner.size());
  for (int r = 0; r < rounds; ++r) {
    vok::ScanScratch scratch;
    for (auto& list : sites) list.clear();
    for (auto& list : other) list.clear();
    const double start = cpu_seconds();
    if (one_pass) {
      scanner.scan_strands(record.forward, record.reverse, vok::OtherStrand::kReversed,
                           record.forward.size() - 1, forward, reverse, sites, other, scratch);
    } else {
      scanner.scan(record.forward, forward, sites, scratch);
      scanner.scan(record.reverse, reverse, other, scratch);
    }
    seconds.push_back(cpu_seconds() - start);
    run.candidates = scratch.counts().candidates;
  }
  for (std::size_t k = 0; k < sites.size(); ++k) sites[k].insert(sites[k].end(), other[k].begin(), other[k].end());
  run.hits = 0;
  for (const auto& list : sites) run.hits += list.size();
  if (keep != nullptr) *keep = std::move(sites);
  run.seconds = median(seconds);
  return run;
}

bool same_sites(const Sites& a, const Sites& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k].size() != b[k].size()) return false;
    for (std::size_t i = 0; i < a[k].size(); ++i) {
      if (a[k][i].pos != b[k][i].pos ||
          std::bit_cast<std::uint32_t>(a[k][i].css) != std::bit_cast<std::uint32_t>(b[k][i].css) ||
          std::bit_cast<std::uint32_t>(a[k][i].mss) != std::bit_cast<std::uint32_t>(b[k][i].mss)) {
        return false;
      }
    }
  }
  return true;
}

// Matrix-positions per second (both strands) in units of 1e9.
double rate(std::size_t models, std::size_t bases, double seconds) {
  return 2.0 * static_cast<double>(models) * static_cast<double>(bases) / seconds / 1e9;
}

float css_passing(const vok::ScoringMatrix& model, std::size_t words) {
  std::vector<float> css(model.core_scores.begin(), model.core_scores.end());
  std::sort(css.begin(), css.end(), std::greater<>());
  return css[words - 1];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s MATRICES.transfac [MBP=10] [ROUNDS=3]\n", argv[0]);
    return 2;
  }
  const double mbp = argc > 2 ? std::atof(argv[2]) : 10.0;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  const auto all = load_models(argv[1]);
  std::vector<std::size_t> sets = {1, 10, 100, all.size()};
  if (argc > 4) {
    sets.clear();
    std::stringstream list(argv[4]);
    for (std::string item; std::getline(list, item, ',');) {
      sets.push_back(item == "all" ? all.size() : std::min<std::size_t>(all.size(), std::stoul(item)));
    }
  }
  const std::string kinds = argc > 5 ? argv[5] : "both";
  const bool quick = argc > 6 && std::string(argv[6]) == "quick";
  // VOK_BENCH_AVX2_ONLY=1 leaves out the scalar rows (for profiles).
  const bool avx2_only = std::getenv("VOK_BENCH_AVX2_ONLY") != nullptr;
  const Record record = random_record(static_cast<std::size_t>(mbp * 1e6), 20261207);
  const Record sample = random_record(200'000, 7);
  std::printf("%zu matrices, %.1f Mbp random, both strands, %d rounds (median), one thread\n",
              all.size(), mbp, rounds);

  std::vector<float> core_css(all.size()), mss_1e4(all.size());
  for (std::size_t k = 0; k < all.size(); ++k) {
    core_css[k] = css_passing(all[k], 2);
    mss_1e4[k] = mss_at_p(all[k], sample, 1e-4);
  }

  std::printf("%-5s %-8s %-7s %9s %10s %10s %12s %9s %s\n", "set", "cut-offs", "scan", "seconds",
              "Gmpos/s", "hits", "cand/mpos", "vs old", "check");
  for (const std::size_t count : sets) {
    for (const bool mss_only : {false, true}) {
      if (kinds != "both" && (kinds == "mss-only") != mss_only) continue;
      std::vector<vok::ScoringMatrix> models;
      for (std::size_t j = 0; j < count; ++j) {
        const std::size_t k = j * all.size() / count;
        models.push_back(all[k]);
        models.back().thresholds = mss_only ? vok::Thresholds{0.0f, mss_1e4[k]}
                                            : vok::Thresholds{core_css[k], 0.80f};
      }
      const vok::MultiScanner scanner(models);
      // The old scan of large sets on a tenth of the bases; both scans there for the check.
      const std::size_t old_bases = quick ? std::min<std::size_t>(record.forward.size(), 200'000)
                                    : count <= 10 ? record.forward.size()
                                                  : record.forward.size() / 10;
      Record part;
      part.forward.assign(record.forward.begin(), record.forward.begin() + old_bases);
      part.reverse.assign(part.forward.rbegin(), part.forward.rend());
      Sites old_sites, new_sites;
      const Run old_run = run_old(models, part, quick ? 1 : rounds, &old_sites);
      run_new(scanner, part, 1, &new_sites);
      const bool same = same_sites(old_sites, new_sites);
      const char* cutoffs = mss_only ? "mss-only" : "core";
      std::printf("%-5zu %-8s %-7s %9.3f %10.3f %10llu %12s %9s %s (on %.1f Mbp)\n", count, cutoffs,
                  "old", old_run.seconds, rate(count, old_bases, old_run.seconds),
                  static_cast<unsigned long long>(old_run.hits), "-", "1.0", same ? "same" : "DIFFERENT",
                  old_bases / 1e6);
      const double old_rate = rate(count, old_bases, old_run.seconds);
      Sites two_pass_sites;
      run_new(scanner, part, 1, &two_pass_sites, false);
      const bool same_two_pass = same_sites(old_sites, two_pass_sites);
      for (const vok::SumKernel kernel : {vok::SumKernel::kScalar, vok::SumKernel::kAvx2}) {
        if (vok::force_sum_kernel(kernel) != kernel) continue;
        if (avx2_only && kernel == vok::SumKernel::kScalar) continue;
        const std::string name = kernel == vok::SumKernel::kAvx2 ? "avx2" : "scalar";
        // Every model by its words, or every one through the filter, then as the cost model chooses.
        const auto forced = [&](vok::detail::FilterUse use, const char* label) {
          vok::detail::force_filter_use(use);
          const Run forced_run = run_new(scanner, record, rounds);
          vok::detail::force_filter_use(vok::detail::FilterUse::kAuto);
          const double forced_rate = rate(count, record.forward.size(), forced_run.seconds);
          std::printf("%-5zu %-8s %-7s %9.3f %10.3f %10llu %12.5f %8.1fx\n", count, cutoffs,
                      (name + label).c_str(), forced_run.seconds, forced_rate,
                      static_cast<unsigned long long>(forced_run.hits),
                      static_cast<double>(forced_run.candidates) / (2.0 * count * record.forward.size()),
                      forced_rate / old_rate);
          return forced_rate;
        };
        const double words_rate = forced(vok::detail::FilterUse::kNever, " words");
        const Run run = run_new(scanner, record, rounds);
        const double new_rate = rate(count, record.forward.size(), run.seconds);
        if (quick) {
          forced(vok::detail::FilterUse::kAlways, " filter");
          std::printf("%-5zu %-8s %-7s %9.3f %10.3f %10llu %12.5f %8.1fx vs words %.2fx\n", count, cutoffs,
                      name.c_str(), run.seconds, new_rate, static_cast<unsigned long long>(run.hits),
                      static_cast<double>(run.candidates) / (2.0 * count * record.forward.size()),
                      new_rate / old_rate, new_rate / words_rate);
          continue;
        }
        // "2p": one strand after the other; the one-pass scan's gain over it shows as "vs 2p".
        const Run two = run_new(scanner, record, rounds, nullptr, false);
        const double two_rate = rate(count, record.forward.size(), two.seconds);
        std::printf("%-5zu %-8s %-7s %9.3f %10.3f %10llu %12.5f %8.1fx %s\n", count, cutoffs,
                    (name + " 2p").c_str(), two.seconds, two_rate, static_cast<unsigned long long>(two.hits),
                    static_cast<double>(two.candidates) / (2.0 * count * record.forward.size()),
                    two_rate / old_rate, same_two_pass ? "same" : "DIFFERENT");
        std::printf("%-5zu %-8s %-7s %9.3f %10.3f %10llu %12.5f %8.1fx vs 2p %.2fx\n", count, cutoffs,
                    name.c_str(), run.seconds, new_rate, static_cast<unsigned long long>(run.hits),
                    static_cast<double>(run.candidates) / (2.0 * count * record.forward.size()),
                    new_rate / old_rate, new_rate / two_rate);
      }
      vok::force_sum_kernel(vok::SumKernel::kAuto);
    }
  }

  if (quick) return 0;
  // Cost model of the new scan (auto kernel), from three runs on the same
  // positions: core cut-offs; the same with every candidate a hit; only the
  // best core word passing.
  for (const std::size_t count : sets) {
    auto with = [&](const std::function<vok::Thresholds(std::size_t)>& cut) {
      std::vector<vok::ScoringMatrix> models;
      for (std::size_t j = 0; j < count; ++j) {
        const std::size_t k = j * all.size() / count;
        models.push_back(all[k]);
        models.back().thresholds = cut(k);
      }
      const vok::MultiScanner scanner(models);
      return run_new(scanner, record, rounds);
    };
    const Run core = with([&](std::size_t k) { return vok::Thresholds{core_css[k], 0.80f}; });
    const Run every = with([&](std::size_t k) { return vok::Thresholds{core_css[k], -INFINITY}; });
    const Run best = with([&](std::size_t k) { return vok::Thresholds{css_passing(all[k], 1), 0.80f}; });
    const double per_hit = (every.seconds - core.seconds) / static_cast<double>(every.hits - core.hits);
    const double per_candidate =
        (core.seconds - best.seconds - per_hit * (static_cast<double>(core.hits) - best.hits)) /
        (static_cast<double>(core.candidates) - best.candidates);
    const double positions = 2.0 * record.forward.size();
    const double per_position =
        (core.seconds - per_candidate * core.candidates - per_hit * core.hits) / positions;
    std::printf("cost model, %zu matrices: %.3f ns per record position (%.4f per matrix-position), "
                "%.2f ns per candidate, %.2f ns per hit\n",
                count, per_position * 1e9, per_position * 1e9 / count, per_candidate * 1e9, per_hit * 1e9);
  }
  return 0;
}
