// Scoring model and site scan on a matrix and a sequence drawn from the input.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "fuzz_check.hpp"
#include "scoring/internal_failure.hpp"
#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"

namespace {

constexpr std::size_t kMaxBases = 2048;  // enough for every window shape

// Hands out the input bytes in order, then zeros.
struct ByteSource {
  const std::uint8_t* data;  // next unread byte
  std::size_t left;          // bytes not yet read

  std::uint8_t next() {
    if (left == 0) return 0;
    --left;
    return *data++;
  }
};

// A raw matrix value: mostly small counts, sometimes a value at the edges
// of the float range (and NaN, which the model must refuse, rarely).
float next_value(ByteSource& in) {
  const std::uint8_t selector = in.next();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  switch (selector) {
    case 0: return kInf;
    case 1: return -kInf;
    case 2: return std::numeric_limits<float>::max();
    case 3: return std::numeric_limits<float>::denorm_min();
    case 4: return std::numeric_limits<float>::quiet_NaN();
    case 5: return -static_cast<float>(in.next());
    case 6: return static_cast<float>(in.next()) * 1e30f;
    case 7: {
      float raw;
      const std::uint8_t bytes[4] = {in.next(), in.next(), in.next(), in.next()};
      std::memcpy(&raw, bytes, sizeof raw);
      return raw;
    }
    default: return static_cast<float>(selector - 8) / 4.0f;
  }
}

struct ReferenceScan {
  std::uint64_t candidates = 0;       // positions the scan considers
  std::vector<vok::SiteMatch> sites;  // accepted sites, in candidate order
  std::string failure;                // the NaN-guard message that stopped the scan, if any
};

// The scan rules read literally: every candidate, its core word looked up,
// the matrix window summed term by term with each guard in its place.
ReferenceScan reference_scan(const vok::ScoringMatrix& model,
                             const std::vector<vok::BaseCode>& bases) {
  ReferenceScan result;
  const auto fail = [&result](const char* message) {
    result.failure = message;
    result.sites.clear();
    return result;
  };
  const std::uint64_t n = bases.size();
  const std::uint64_t m = model.core_start;
  const std::uint64_t bound = n - model.length + vok::kCoreLength;  // wraps when n + 5 < L
  const auto is_candidate = [&](std::uint64_t p) {
    return p + vok::kCoreLength <= n && p - m < bound;
  };
  while (is_candidate(m + result.candidates)) ++result.candidates;

  for (std::uint64_t p = m; is_candidate(p); ++p) {
    const vok::BaseCode* w = bases.data() + p;
    const float css = model.core_scores[vok::core_word_index(w[0], w[1], w[2], w[3], w[4])];
    if (!(css >= model.thresholds.css)) continue;
    const std::uint64_t q = p - m;
    float sum = 0.0f;
    for (std::uint64_t i = 0; i < model.length && q + i < n; ++i) {
      const float term = model.frequency(i, bases[q + i]) * model.information[i];
      if (std::isnan(term)) return fail("Multiplication resulted in NaN");
      sum = sum + term;
    }
    if (std::isnan(sum)) return fail("Sum resulted in NaN");
    const float numerator = sum - model.min_sum;
    const float denominator = model.max_sum - model.min_sum;
    if (std::isnan(numerator) || std::isnan(denominator)) {
      return fail("Subtraction resulted in NaN");
    }
    const float mss = numerator / denominator;
    if (std::isnan(mss)) return fail("Division resulted in NaN");
    if (mss >= model.thresholds.mss) result.sites.push_back({p, css, mss});
  }
  return result;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_sites(const std::vector<vok::SiteMatch>& a, const std::vector<vok::SiteMatch>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k].pos != b[k].pos || !same_bits(a[k].css, b[k].css) || !same_bits(a[k].mss, b[k].mss)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteSource in{data, size};
  const std::size_t length = in.next() % 30;
  vok::PwmMatrix matrix("fuzz", length);
  for (float& value : matrix.values) value = next_value(in);
  // Thresholds from 0 to a little over 1, where no site can pass.
  const vok::Thresholds thresholds{in.next() / 240.0f, in.next() / 240.0f};
  const std::uint64_t piece = in.next() % 16 + 1;  // candidates per piece of a split scan
  std::vector<vok::BaseCode> bases;
  while (in.left > 0 && bases.size() < kMaxBases) bases.push_back(in.next() & 3);

  std::variant<vok::ScoringMatrix, vok::MatrixToShort> built;
  try {
    built = vok::build_scoring_matrix(matrix, thresholds);
  } catch (const vok::InternalFailure&) {
    return 0;
  }
  if (const auto* too_short = std::get_if<vok::MatrixToShort>(&built)) {
    VOK_FUZZ_REQUIRE(length < vok::kCoreLength && too_short->length == length);
    return 0;
  }
  const vok::ScoringMatrix& model = std::get<vok::ScoringMatrix>(built);
  VOK_FUZZ_REQUIRE(model.length == length && length >= vok::kCoreLength);
  VOK_FUZZ_REQUIRE(model.core_start + vok::kCoreLength <= length);
  VOK_FUZZ_REQUIRE(model.frequencies.size() == 4 * length && model.information.size() == length);

  const ReferenceScan expected = reference_scan(model, bases);
  const vok::SiteScanner scanner(model);
  VOK_FUZZ_REQUIRE(scanner.candidate_count(bases.size()) == expected.candidates);

  // The whole scan and the scan in pieces must fail, or find the very same
  // sites, as the plain rules do.
  std::vector<vok::SiteMatch> sites, pieces;
  std::string failure;
  try {
    scanner.scan(bases, sites);
  } catch (const vok::InternalFailure& error) {
    failure = error.what();
  }
  VOK_FUZZ_REQUIRE(failure == expected.failure);
  if (!failure.empty()) return 0;
  VOK_FUZZ_REQUIRE(same_sites(sites, expected.sites));
  for (std::uint64_t first = 0; first < expected.candidates; first += piece) {
    const std::uint64_t end = std::min<std::uint64_t>(expected.candidates, first + piece);
    scanner.scan_candidates(bases, first, end, pieces);
  }
  VOK_FUZZ_REQUIRE(same_sites(pieces, sites));
  std::vector<vok::SiteMatch> again;
  vok::scan_sites(model, bases, again);
  VOK_FUZZ_REQUIRE(same_sites(again, sites));

  const std::uint64_t n = bases.size();
  for (std::size_t k = 0; k < sites.size(); ++k) {
    const vok::SiteMatch& site = sites[k];
    VOK_FUZZ_REQUIRE(k == 0 || sites[k - 1].pos < site.pos);
    VOK_FUZZ_REQUIRE(site.pos >= model.core_start && site.pos + vok::kCoreLength <= n);
    VOK_FUZZ_REQUIRE(site.css >= thresholds.css && site.mss >= thresholds.mss);
  }
  return 0;
}
