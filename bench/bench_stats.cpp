// Score statistics on the JASPAR 2024 CORE vertebrate matrices (879):
//  1. distributions and thresholds for all matrices (one core, CPU time, medians of rounds);
//  2. the per-hit p-value lookup, ns per hit;
//  3. with --agreement N: for every matrix, the threshold for a rate, the rate
//     counted by the real site scan on N seeded random bases, and whether the
//     count lies in its binomial interval around the predicted p-value.
// Usage: bench_stats MATRICES.transfac [--agreement N] [--rate P]
//   (write the matrices with `python bench/jaspar_matrices.py OUT`; with
//   VOK_BENCH_VERBOSE set, hit scores whose table value is >10% above the
//   refined p-value are listed).
#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "parser/transfac_reader.hpp"
#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"
#include "stats/matrix_statistics.hpp"
#include "stream/hit_format.hpp"
#include "stream/hit_pvalues.hpp"

namespace {

template <typename T>
void keep(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

// CPU seconds of this process: on a shared machine a closer measure of one
// core's work than wall time (the benchmark runs on one thread).
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double median_seconds(int rounds, const std::function<void()>& run) {
  std::vector<double> seconds;
  for (int r = 0; r < rounds; ++r) {
    const double start = cpu_seconds();
    run();
    seconds.push_back(cpu_seconds() - start);
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2];
}

std::vector<vok::PwmMatrix> load_matrices(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  std::stringstream text;
  text << file.rdbuf();
  const std::string content = text.str();
  auto loaded = vok::load_transfac(content);
  if (std::holds_alternative<vok::ReaderError>(loaded)) {
    std::fprintf(stderr, "%s: %s\n", path, std::get<vok::ReaderError>(loaded).message.c_str());
    std::exit(2);
  }
  return std::get<std::vector<vok::PwmMatrix>>(std::move(loaded));
}

std::vector<vok::ScoringMatrix> build_models(const std::vector<vok::PwmMatrix>& matrices) {
  std::vector<vok::ScoringMatrix> models;
  for (const auto& matrix : matrices) {
    auto built = vok::build_scoring_matrix(matrix, vok::Thresholds{});
    if (auto* model = std::get_if<vok::ScoringMatrix>(&built)) models.push_back(std::move(*model));
  }
  return models;
}

// Formatting hits as TSV lines with and without the pvalue column: the hits
// of 64 matrices (thresholds for 1e-4) on random bases, repeated to 1 M.
void formatting(const std::vector<vok::PwmMatrix>& matrices) {
  std::vector<vok::stream::MotifSpec> specs;
  for (std::size_t k = 0; k < matrices.size() && specs.size() < 64; ++k) {
    auto built = vok::build_scoring_matrix(matrices[k], vok::Thresholds{});
    const auto* model = std::get_if<vok::ScoringMatrix>(&built);
    if (!model) continue;
    const vok::MatrixStatistics stats(*model, vok::uniform_background());
    const float mss = stats.threshold_for_pvalue(1e-4, 0.0f);
    specs.push_back(vok::stream::MotifSpec{matrices[k].name, "", matrices[k], {stats.css_threshold_keeping(mss), mss}});
  }
  const vok::stream::MotifSet motifs(std::move(specs));
  const vok::stream::HitPValues tables(motifs, vok::uniform_background(), true);
  std::mt19937_64 rng(3);
  std::vector<vok::BaseCode> bases(2'000'000);
  for (auto& base : bases) base = static_cast<vok::BaseCode>(rng() & 3);
  vok::stream::HitBatch batch;
  batch.sequence_names = {"chr1"};
  vok::stream::HitColumns found;
  std::vector<vok::SiteMatch> sites;
  for (std::size_t k = 0; k < motifs.scanned_count(); ++k) {
    sites.clear();
    vok::scan_sites(motifs.model(k), bases, sites);
    for (const auto& site : sites) {
      found.sequence.push_back(0);
      found.start.push_back(static_cast<std::int64_t>(site.pos));
      found.end.push_back(static_cast<std::int64_t>(site.pos + 12));
      found.motif.push_back(static_cast<std::int32_t>(motifs.motif_of(k)));
      found.strand.push_back(rng() & 1 ? 1 : -1);
      found.css.push_back(site.css);
      found.mss.push_back(site.mss);
      found.core.push_back(static_cast<std::int64_t>(site.pos));
    }
  }
  const std::size_t hits = 1'000'000;
  while (batch.size() < hits && found.size() > 0) batch.columns.append(found, 0);
  keep(tables(0, 1, 0.9f));
  std::string text;
  const double plain = median_seconds(5, [&] {
    text.clear();
    vok::stream::append_hits(text, batch, motifs, vok::stream::HitFormat::kTsv);
    keep(text.data());
  });
  const double with_pvalue = median_seconds(5, [&] {
    text.clear();
    vok::stream::append_hits(text, batch, motifs, vok::stream::HitFormat::kTsv, &tables);
    keep(text.data());
  });
  const double count = static_cast<double>(batch.size());
  std::printf("TSV formatting: %.1f ns per hit, %.1f ns with the pvalue column (%zu hits, %zu motifs)\n",
              plain / count * 1e9, with_pvalue / count * 1e9, batch.size(), motifs.size());
}

// Counted rate against prediction for every matrix at (css, mss for `rate`).
void agreement(const std::vector<vok::ScoringMatrix>& models, const vok::Background& background,
               const char* name, std::size_t bases_count, double rate, float css) {
  std::mt19937_64 rng(20240607);
  std::discrete_distribution<int> pick(background.probability.begin(), background.probability.end());
  std::vector<vok::BaseCode> bases(bases_count);
  for (auto& base : bases) base = static_cast<vok::BaseCode>(pick(rng));
  // Two-sided normal interval at z = 4.4 (about 1e-5 per matrix: all 879 pass
  // together with probability about 0.99 when the predictions are right).
  const double z = 4.4;
  int outside = 0;
  double worst_z = 0.0;
  std::size_t expected_total = 0;
  std::size_t counted_total = 0;
  std::vector<vok::SiteMatch> sites;
  for (const vok::ScoringMatrix& base_model : models) {
    vok::ScoringMatrix model = base_model;
    const vok::MatrixStatistics stats(model, background);
    const float mss = stats.threshold_for_pvalue(rate, css);
    const double predicted = stats.pvalue(css, mss);
    model.thresholds = vok::Thresholds{css, mss};
    sites.clear();
    vok::scan_sites(model, bases, sites);
    const std::size_t windows = bases.size() - model.length + 1;
    std::size_t counted = 0;
    for (const auto& site : sites) counted += site.pos - model.core_start + model.length <= bases.size();
    const double mean = predicted * static_cast<double>(windows);
    const double sd = std::sqrt(std::max(mean * (1.0 - predicted), 1e-300));
    const double deviation = (static_cast<double>(counted) - mean) / sd;
    if (mean > 0) worst_z = std::max(worst_z, std::fabs(deviation));
    // With a tiny mean the normal interval is poor: use the Poisson bound
    // P(X >= k) <= ... by requiring counted <= mean + z sd + z^2.
    const bool inside = std::fabs(static_cast<double>(counted) - mean) <= z * sd + z * z;
    if (!inside) {
      ++outside;
      std::printf("  outside: %s L=%zu mss>=%.9g predicted %.4g counted %zu of %zu\n", model.name.c_str(),
                  model.length, mss, predicted, counted, windows);
    }
    expected_total += static_cast<std::size_t>(std::llround(mean));
    counted_total += counted;
  }
  std::printf("agreement %-8s css>=%.2f rate %.0e: %zu matrices on %zu random bases, %d outside z=%.1f "
              "(largest |z| %.2f), hits counted %zu vs predicted %zu\n",
              name, css, rate, models.size(), bases_count, outside, z, worst_z, counted_total, expected_total);
}

// For every matrix: is the threshold for p tight (its rate within 0.5% of p,
// or the next lower float already above p), and pvalue() there at most p?
// Judged by the refined bounds.
void thresholds_tightness(const std::vector<vok::ScoringMatrix>& models, const vok::Background& background,
                          const char* name, double p) {
  std::size_t tight = 0, unproven = 0, above = 0;
  std::vector<double> ratio;
  for (const auto& model : models) {
    const vok::MatrixStatistics stats(model, background);
    const float threshold = stats.threshold_for_pvalue(p, 0.0f);
    if (threshold > 1.0f || threshold <= 0.0f) continue;
    const vok::TailBounds at = stats.pvalue_bounds(0.0f, threshold);
    const vok::TailBounds below = stats.pvalue_bounds(0.0f, std::nextafter(threshold, -1.0f));
    above += at.upper > p;
    ratio.push_back(at.lower / p);
    if (at.lower >= 0.995 * p || below.lower > p) {
      ++tight;
    } else {
      ++unproven;
    }
  }
  std::sort(ratio.begin(), ratio.end());
  std::printf("thresholds %-8s p=%.0e: %zu matrices, tight %zu, not shown tight %zu, pvalue() above p %zu; "
              "lower bound of the rate / p: min %.4f median %.4f\n",
              name, p, ratio.size(), tight, unproven, above, ratio.empty() ? 0.0 : ratio.front(),
              ratio.empty() ? 0.0 : ratio[ratio.size() / 2]);
}

// The per-hit p-values of all matrices with thresholds for `rate`, on the
// hits of every matrix on 1 Mbp of random bases (both strands), interleaved
// by position as a genome scan writes them: the first pass (loose scores
// counted exactly and cached) and later passes, in CPU ns per hit; the
// share of hits a whole genome would send to an exact count; accuracy
// against the refined p-value.
void per_hit(const std::vector<vok::PwmMatrix>& matrices, const std::vector<vok::ScoringMatrix>& models,
             const vok::Background& background, double rate) {
  std::vector<vok::stream::MotifSpec> specs;
  for (const auto& matrix : matrices) {
    auto built = vok::build_scoring_matrix(matrix, vok::Thresholds{});
    auto* model = std::get_if<vok::ScoringMatrix>(&built);
    if (!model) continue;
    const vok::MatrixStatistics stats(*model, background);
    const float mss = stats.threshold_for_pvalue(rate, 0.0f);
    specs.push_back(vok::stream::MotifSpec{matrix.name, "", matrix, {stats.css_threshold_keeping(mss), mss}});
  }
  const vok::stream::MotifSet motifs(std::move(specs));
  double build_seconds = 0.0;
  std::unique_ptr<vok::stream::HitPValues> tables;
  build_seconds = median_seconds(1, [&] {
    tables = std::make_unique<vok::stream::HitPValues>(motifs, background, true);
  });
  // Hits of a scan of random bases, in position order.
  std::mt19937_64 rng(5);
  std::vector<vok::BaseCode> bases(1'000'000);
  for (auto& base : bases) base = static_cast<vok::BaseCode>(rng() & 3);
  struct Hit {
    std::size_t position;
    std::int32_t motif;
    std::int8_t strand;
    float mss;
  };
  std::vector<Hit> hits;
  std::vector<vok::SiteMatch> sites;
  std::vector<vok::BaseCode> reverse(bases.rbegin(), bases.rend());
  for (auto& base : reverse) base = static_cast<vok::BaseCode>(3 - base);
  for (std::size_t k = 0; k < motifs.scanned_count(); ++k) {
    for (int strand : {1, -1}) {
      sites.clear();
      vok::scan_sites(motifs.model(k), strand > 0 ? bases : reverse, sites);
      for (const auto& site : sites) {
        hits.push_back(Hit{strand > 0 ? site.pos : bases.size() - site.pos,
                           static_cast<std::int32_t>(motifs.motif_of(k)), static_cast<std::int8_t>(strand), site.mss});
      }
    }
  }
  std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.position < b.position; });
  std::vector<float> out(hits.size());
  const auto pass = [&] {
    tables->look_up(hits.size(), [&](std::size_t h) -> const Hit& { return hits[h]; }, out.data());
    keep(out.data());
  };
  const double first = median_seconds(1, pass);
  const double later = median_seconds(7, pass);
  const double count = static_cast<double>(hits.size());
  std::printf("per-hit p-values, %zu matrices at p=%.0e: tables built in %.2f s CPU, %.1f MiB; %zu hits: "
              "first pass %.1f ns per hit, later passes %.2f ns per hit; loose share %.2e\n",
              motifs.scanned_count(), rate, build_seconds,
              static_cast<double>(tables->memory_bytes()) / (1 << 20), hits.size(), first / count * 1e9,
              later / count * 1e9, tables->loose_share());
  // Accuracy: every 101st hit against the refined bounds of its score.
  std::vector<double> excess;
  std::size_t below = 0;
  for (std::size_t h = 0; h < hits.size(); h += 101) {
    const auto& model = motifs.model(static_cast<std::size_t>(hits[h].motif));
    const vok::MatrixStatistics stats(model, hits[h].strand < 0 ? vok::complement(background) : background);
    const vok::TailBounds bounds = stats.pvalue_bounds(-1.0f, hits[h].mss);
    below += static_cast<double>(out[h]) < bounds.lower;
    if (bounds.lower > 0) excess.push_back(static_cast<double>(out[h]) / bounds.lower - 1.0);
  }
  std::sort(excess.begin(), excess.end());
  if (!excess.empty()) {
    std::printf("per-hit accuracy on %zu hits: (value / lower bound - 1) median %.2e, 99th pct %.2e, max %.2e; "
                "below the lower bound: %zu\n",
                excess.size(), excess[excess.size() / 2], excess[excess.size() * 99 / 100], excess.back(), below);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s MATRICES.transfac [--agreement N] [--rate P]\n", argv[0]);
    return 2;
  }
  std::size_t agreement_bases = 0;
  double rate = 1e-4;
  for (int k = 2; k + 1 < argc; k += 2) {
    const std::string option = argv[k];
    if (option == "--agreement") agreement_bases = std::strtoull(argv[k + 1], nullptr, 10);
    if (option == "--rate") rate = std::strtod(argv[k + 1], nullptr);
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const auto matrices = load_matrices(argv[1]);
  const auto models = build_models(matrices);
  const vok::Background uniform = vok::uniform_background();

  // 1. Distributions and two thresholds per matrix.
  std::vector<float> thresholds(models.size());
  const double all_seconds = median_seconds(3, [&] {
    for (std::size_t k = 0; k < models.size(); ++k) {
      const vok::MatrixStatistics stats(models[k], uniform);
      thresholds[k] = stats.threshold_for_pvalue(rate, 0.0f);
      keep(stats.threshold_for_pvalue(rate, 0.9f));
    }
  });
  std::printf("statistics: %zu matrices, distributions + 2 thresholds: %.3f s CPU (%.0f us per matrix)\n",
              models.size(), all_seconds, all_seconds / static_cast<double>(models.size()) * 1e6);
  thresholds_tightness(models, uniform, "uniform", rate);
  thresholds_tightness(models, vok::Background{{0.325, 0.175, 0.175, 0.325}}, "65% AT", 1e-5);

  // 2. Per-hit p-values of all matrices at once, on the hits of a real scan.
  per_hit(matrices, models, uniform, rate);

  formatting(matrices);

  // 3. Counted rates on random sequence.
  if (agreement_bases > 0) {
    agreement(models, uniform, "uniform", agreement_bases, rate, 0.0f);
    agreement(models, vok::Background{{0.3, 0.2, 0.2, 0.3}}, "AT-rich", agreement_bases, rate, 0.9f);
  }
  return 0;
}
