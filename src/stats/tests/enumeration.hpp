#pragma once
// Complete enumeration of every window of a matrix: a de Bruijn sequence of
// order L holds each of the 4^L words exactly once as a window, so a single
// scan of it with the real site scan gives every word's css and mss bits.
#include <cstddef>
#include <random>
#include <utility>
#include <variant>
#include <vector>

#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"
#include "stats/background.hpp"

namespace vok::test {

// The linear de Bruijn sequence B(4, order): 4^order + order - 1 bases.
inline std::vector<BaseCode> de_bruijn(std::size_t order) {
  std::vector<BaseCode> sequence;
  std::vector<BaseCode> a(4 * order + 1, 0);
  // Lyndon-word construction (Fredricksen, Kessler, Maiorana).
  auto generate = [&](auto&& self, std::size_t t, std::size_t p) -> void {
    if (t > order) {
      if (order % p == 0) {
        for (std::size_t j = 1; j <= p; ++j) sequence.push_back(a[j]);
      }
      return;
    }
    a[t] = a[t - p];
    self(self, t + 1, p);
    for (BaseCode b = a[t - p] + 1; b < 4; ++b) {
      a[t] = b;
      self(self, t + 1, t);
    }
  };
  generate(generate, 1, 1);
  for (std::size_t j = 0; j + 1 < order; ++j) sequence.push_back(sequence[j]);
  return sequence;
}

struct Window {
  float css;           // the scan's css of the window
  float mss;           // the scan's mss of the window
  double probability;  // the word's probability under the background
};

// Every full window of `model` with its scores and probability.
inline std::vector<Window> enumerate_windows(const ScoringMatrix& model, const Background& background) {
  ScoringMatrix open = model;
  open.thresholds = Thresholds{-1e30f, -1e30f};
  const auto bases = de_bruijn(model.length);
  std::vector<SiteMatch> sites;
  scan_sites(open, bases, sites);
  std::vector<Window> windows;
  windows.reserve(sites.size());
  for (const SiteMatch& site : sites) {
    const std::size_t start = site.pos - model.core_start;
    if (start + model.length > bases.size()) continue;  // a window cut short
    double probability = 1.0;
    for (std::size_t i = 0; i < model.length; ++i) probability *= background.probability[bases[start + i]];
    windows.push_back(Window{site.css, site.mss, probability});
  }
  return windows;
}

inline double enumerated_tail(const std::vector<Window>& windows, float css, float mss) {
  double total = 0.0;
  for (const Window& w : windows) {
    if (w.css >= css && w.mss >= mss) total += w.probability;
  }
  return total;
}

// A matrix of counts like real ones: a few strongly preferred bases, some
// mixed rows, some nearly flat ones.
inline ScoringMatrix random_model(std::size_t length, std::mt19937& rng) {
  PwmMatrix matrix("M", length);
  std::uniform_int_distribution<int> kind(0, 2), base(0, 3), count(0, 30);
  for (std::size_t i = 0; i < length; ++i) {
    const int k = kind(rng);
    for (std::size_t b = 0; b < 4; ++b) matrix.at(i, b) = static_cast<float>(count(rng) / (k + 1));
    if (k == 0) matrix.at(i, base(rng)) += 80.0f;
    if (k == 1) matrix.at(i, base(rng)) += 30.0f;
  }
  return std::get<ScoringMatrix>(build_scoring_matrix(std::move(matrix), Thresholds{}));
}

// Rows repeating one set of counts in a rotating order: many words tie in
// their real sum and only the float rounding of the scan's sum separates them.
inline ScoringMatrix tied_model(std::size_t length) {
  PwmMatrix matrix("tied", length);
  const float row[4] = {10, 3, 3, 1};
  for (std::size_t i = 0; i < length; ++i) {
    for (std::size_t b = 0; b < 4; ++b) matrix.at(i, b) = row[(b + i / 3) % 4];
  }
  return std::get<ScoringMatrix>(build_scoring_matrix(std::move(matrix), Thresholds{}));
}

// Two bases per row with counts a hair apart: words differ by far less than a
// grid step, so the tail jumps between scores the grid cannot tell apart.
inline ScoringMatrix near_tied_model(std::size_t length, std::mt19937& rng) {
  PwmMatrix matrix("near", length);
  std::uniform_int_distribution<int> base(0, 3), count(0, 4);
  for (std::size_t i = 0; i < length; ++i) {
    const int first = base(rng);
    for (std::size_t b = 0; b < 4; ++b) matrix.at(i, b) = static_cast<float>(count(rng));
    matrix.at(i, static_cast<std::size_t>(first)) = 40.0f;
    matrix.at(i, static_cast<std::size_t>((first + 1) % 4)) = 40.0f + 1e-3f * static_cast<float>(i + 1);
  }
  return std::get<ScoringMatrix>(build_scoring_matrix(std::move(matrix), Thresholds{}));
}

// Counts of thousands of sites, every row within a few counts of flat: the
// terms share a large common part, so the float error of the scan's sum
// spans several steps of a grid across the (narrow) score range.
inline ScoringMatrix flat_model(std::size_t length, std::mt19937& rng) {
  PwmMatrix matrix("flat", length);
  std::uniform_int_distribution<int> offset(-4, 4);
  for (std::size_t i = 0; i < length; ++i) {
    for (std::size_t b = 0; b < 4; ++b) matrix.at(i, b) = static_cast<float>(2500 + offset(rng));
  }
  return std::get<ScoringMatrix>(build_scoring_matrix(std::move(matrix), Thresholds{}));
}

enum class MatrixKind { kRandom, kTied, kNearTied, kFlat };

inline ScoringMatrix model_of_kind(MatrixKind kind, std::size_t length, int seed) {
  std::mt19937 rng(static_cast<unsigned>(seed * 1000 + length));
  switch (kind) {
    case MatrixKind::kTied:
      return tied_model(length);
    case MatrixKind::kNearTied:
      return near_tied_model(length, rng);
    case MatrixKind::kFlat:
      return flat_model(length, rng);
    case MatrixKind::kRandom:
      break;
  }
  return random_model(length, rng);
}

// One matrix of a parametrized test.
struct MatrixCase {
  MatrixKind kind;     // random counts, tied rows, near-tied bases or nearly flat rows
  std::size_t length;  // L, positions of the matrix
  int seed;            // of its random counts

  ScoringMatrix model() const { return model_of_kind(kind, length, seed); }
};

struct NamedBackground {
  const char* name;
  Background background;
};

inline const NamedBackground kBackgrounds[] = {
    {"uniform", uniform_background()},
    {"skewed", Background{{0.1, 0.4, 0.3, 0.2}}},
    {"gc_poor", Background{{0.35, 0.15, 0.15, 0.35}}},
    {"no_c", Background{{0.5, 0.0, 0.25, 0.25}}},
};

// P(mss >= each window's mss), for windows sorted by mss, highest first.
inline std::vector<double> running_tails(const std::vector<Window>& sorted) {
  std::vector<double> tails(sorted.size());
  double tail = 0.0;
  for (std::size_t k = 0; k < sorted.size(); ++k) tails[k] = tail += sorted[k].probability;
  // Windows of equal mss share the tail of the last of them.
  for (std::size_t k = sorted.size(); k-- > 1;) {
    if (sorted[k - 1].mss == sorted[k].mss) tails[k - 1] = tails[k];
  }
  return tails;
}

}  // namespace vok::test
