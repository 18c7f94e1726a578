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

// Formatting hits as TSV lines with and without the pvalue column.
void formatting(const std::vector<vok::PwmMatrix>& matrices) {
  std::vector<vok::stream::MotifSpec> specs;
  for (std::size_t k = 0; k < std::min<std::size_t>(64, matrices.size()); ++k) {
    specs.push_back(vok::stream::MotifSpec{matrices[k].name, "", matrices[k], {0.0f, 0.0f}});
  }
  const vok::stream::MotifSet motifs(std::move(specs));
  const vok::stream::HitPValues tables(motifs, vok::uniform_background(), true);
  vok::stream::HitBatch batch;
  batch.sequence_names = {"chr1"};
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<float> hit_mss(0.75f, 1.0f);
  const std::size_t hits = 1'000'000;
  vok::stream::HitColumns& h = batch.columns;
  for (std::size_t i = 0; i < hits; ++i) {
    h.sequence.push_back(0);
    h.start.push_back(static_cast<std::int64_t>(37 * i));
    h.end.push_back(static_cast<std::int64_t>(37 * i + 12));
    h.motif.push_back(static_cast<std::int32_t>(rng() % motifs.size()));
    h.strand.push_back(rng() & 1 ? 1 : -1);
    h.css.push_back(hit_mss(rng));
    h.mss.push_back(hit_mss(rng));
    h.core.push_back(static_cast<std::int64_t>(37 * i + 3));
  }
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
  std::printf("TSV formatting: %.1f ns per hit, %.1f ns with the pvalue column (%zu hits, %zu motifs)\n",
              plain / static_cast<double>(hits) * 1e9, with_pvalue / static_cast<double>(hits) * 1e9, hits,
              motifs.size());
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
  const auto matrices = load_matrices(argv[1]);
  const auto models = build_models(matrices);
  const vok::Background uniform = vok::uniform_background();

  // 1. Everything per matrix: distributions, tail table, two thresholds.
  std::vector<float> thresholds(models.size());
  const double all_seconds = median_seconds(5, [&] {
    for (std::size_t k = 0; k < models.size(); ++k) {
      const vok::MatrixStatistics stats(models[k], uniform);
      thresholds[k] = stats.threshold_for_pvalue(rate, 0.0f);
      keep(stats.threshold_for_pvalue(rate, 0.9f));
    }
  });
  std::printf("statistics: %zu matrices, distributions + tail table + 2 thresholds: %.3f s (%.0f us per matrix)\n",
              models.size(), all_seconds, all_seconds / static_cast<double>(models.size()) * 1e6);

  // How close the grid bounds are at the chosen thresholds, before refinement.
  std::vector<double> gaps;
  std::size_t table_bytes = 0;
  for (std::size_t k = 0; k < models.size(); ++k) {
    const vok::MatrixStatistics stats(models[k], uniform);
    const vok::TailBounds bounds = stats.tail_bounds(0.0f, thresholds[k]);
    if (bounds.lower > 0) gaps.push_back(bounds.upper / bounds.lower - 1.0);
    table_bytes += stats.hit_table().size() * sizeof(float);
  }
  // The per-hit table against the refined p-value, at the mss of real hits:
  // every 10th matrix, hits of a threshold for 1e-3 on 1 Mbp of random bases.
  {
    std::mt19937_64 rng(7);
    std::vector<vok::BaseCode> bases(1'000'000);
    for (auto& base : bases) base = static_cast<vok::BaseCode>(rng() & 3);
    std::vector<double> excess;
    std::vector<vok::SiteMatch> sites;
    for (std::size_t k = 0; k < models.size(); k += 10) {
      vok::ScoringMatrix model = models[k];
      const vok::MatrixStatistics stats(model, uniform);
      model.thresholds = vok::Thresholds{0.0f, stats.threshold_for_pvalue(1e-3, 0.0f)};
      sites.clear();
      vok::scan_sites(model, bases, sites);
      std::vector<float> scores;
      for (const auto& site : sites) scores.push_back(site.mss);
      std::sort(scores.begin(), scores.end());
      scores.erase(std::unique(scores.begin(), scores.end()), scores.end());
      for (std::size_t j = 0; j < scores.size(); j += std::max<std::size_t>(1, scores.size() / 10)) {
        const double refined = stats.pvalue(0.0f, scores[j]);
        if (refined > 0) excess.push_back(stats.hit_table()(scores[j]) / refined - 1.0);
        if (refined > 0 && excess.back() > 0.1 && std::getenv("VOK_BENCH_VERBOSE")) {
          std::printf("  %s L=%zu mss %.9g p %.4g table %.4g\n", model.name.c_str(), model.length, scores[j],
                      refined, static_cast<double>(stats.hit_table()(scores[j])));
        }
      }
    }
    std::sort(excess.begin(), excess.end());
    if (!excess.empty()) {
      std::printf("per-hit table on %zu hit scores of %zu matrices: (table / p-value - 1) median %.2e, "
                  "90th pct %.2e, 99th pct %.2e, max %.2e, min %.2e\n",
                  excess.size(), (models.size() + 9) / 10, excess[excess.size() / 2],
                  excess[excess.size() * 9 / 10], excess[excess.size() * 99 / 100], excess.back(), excess.front());
    }
  }
  std::sort(gaps.begin(), gaps.end());
  if (!gaps.empty()) {
    std::printf("grid bounds at p=%.0e: (upper/lower - 1) median %.2e, 99th pct %.2e, max %.2e; "
                "tail tables %.1f MiB in all\n",
                rate, gaps[gaps.size() / 2], gaps[gaps.size() * 99 / 100], gaps.back(),
                static_cast<double>(table_bytes) / (1 << 20));
  }

  // 2. Per-hit lookups: mss values of hits scattered over 64 tables.
  {
    std::vector<vok::MatrixStatistics> some;
    for (std::size_t k = 0; k < std::min<std::size_t>(64, models.size()); ++k) some.emplace_back(models[k], uniform);
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<float> hit_mss(0.75f, 1.0f);
    const std::size_t hits = 4'000'000;
    std::vector<float> mss(hits);
    std::vector<std::uint8_t> motif(hits);
    for (std::size_t h = 0; h < hits; ++h) {
      mss[h] = hit_mss(rng);
      motif[h] = static_cast<std::uint8_t>(rng() % some.size());
    }
    std::vector<float> out(hits);
    const double seconds = median_seconds(7, [&] {
      for (std::size_t h = 0; h < hits; ++h) out[h] = some[motif[h]].hit_table()(mss[h]);
      keep(out.data());
    });
    std::printf("per-hit p-value lookup: %.2f ns per hit (%zu hits over %zu tables)\n",
                seconds / static_cast<double>(hits) * 1e9, hits, some.size());
  }

  formatting(matrices);

  // 3. Counted rates on random sequence.
  if (agreement_bases > 0) {
    agreement(models, uniform, "uniform", agreement_bases, rate, 0.0f);
    agreement(models, vok::Background{{0.3, 0.2, 0.2, 0.3}}, "AT-rich", agreement_bases, rate, 0.9f);
  }
  return 0;
}
