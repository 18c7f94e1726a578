// The scan of a batch: the alleles of a chunk of variants are laid end to end
// and scanned once per length group of the motifs (the multi-motif scan finds
// the few windows that pass without scoring the rest); a passing window that
// lies inside one allele and touches its variant marks the (variant, motif)
// pair, and only marked pairs are scored window by window for their best
// windows.
#include "variants/effect_scan.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "allele_layout.hpp"
#include "length_groups.hpp"
#include "stream/errors.hpp"
#include "variants/best_window.hpp"
#include "stream/workers.hpp"

namespace vok::variants {
namespace {

constexpr std::size_t kNoModel = std::numeric_limits<std::size_t>::max();
constexpr float kMissing = std::numeric_limits<float>::quiet_NaN();

// What one task computes: the rows of variants [first, end) of the batch.
class ChunkScan {
 public:
  ChunkScan(const stream::MotifSet& motifs, const stream::HitPValues& pvalues, const VariantBatch& batch,
            const EffectOptions& options, const std::vector<std::size_t>& model_of_motif,
            const std::vector<LengthGroup>& groups)
      : motifs_(motifs), pvalues_(pvalues), batch_(batch), options_(options), model_of_motif_(model_of_motif),
        groups_(groups) {}

  EffectRows run(std::size_t first, std::size_t end) {
    first_ = first;
    alleles_ = lay_out(batch_, first, end, options_.mask, options_.strand);
    EffectRows rows;
    if (options_.all) {
      for (std::size_t pair = 0; pair < (end - first) * motifs_.size(); ++pair) add_row(pair, {}, rows);
      return rows;
    }
    found_.clear();
    for (const LengthGroup& group : groups_) scan_group(group);
    std::sort(found_.begin(), found_.end(),
              [](const FoundSite& a, const FoundSite& b) { return a.pair < b.pair; });
    for (auto site = found_.begin(); site != found_.end();) {
      auto next = site;
      while (next != found_.end() && next->pair == site->pair) ++next;
      add_row(site->pair, std::span(site, next), rows);
      site = next;
    }
    return rows;
  }

 private:
  // A passing window the scan found: one that lies in an allele and touches its variant.
  struct FoundSite {
    std::size_t pair;   // (variant - first_) x motif count + motif
    bool alt;           // on ALT (else on REF)
    BestWindow window;  // its strand, start (allele coordinates) and scores
  };

  void scan_group(const LengthGroup& group) {
    const GroupLayout layout(alleles_, group.longest - 1, options_.strand);
    const std::size_t count = motifs_.scanned_count();
    const std::uint64_t n = layout.forward.size();
    if (n == 0) return;
    std::vector<CandidateRange> ranges(count);
    for (const std::size_t k : group.models) {
      const std::uint64_t length = motifs_.model(k).length;
      ranges[k] = {0, n >= length ? n - length + 1 : 0};
    }
    std::vector<std::vector<SiteMatch>> forward(count), other(count);
    const MultiScanner& scanner = motifs_.scanner();
    if (options_.strand == stream::Strand::kForward) {
      scanner.scan(layout.forward, ranges, forward);
    } else {
      const OtherStrand kind = options_.strand == stream::Strand::kBoth ? OtherStrand::kReverseComplement
                                                                        : OtherStrand::kReversed;
      scanner.scan_strands(layout.forward, layout.other, kind, n - 1, ranges, ranges, forward, other);
    }
    for (const std::size_t k : group.models) {
      const ScoringMatrix& model = motifs_.model(k);
      const std::size_t motif = motifs_.motif_of(k);
      for (const SiteMatch& site : forward[k]) keep(layout, site.pos - model.core_start, model.length, motif, 1, site);
      // Candidate c of the other strand covers forward [n - c - L, n - c).
      for (const SiteMatch& site : other[k]) {
        keep(layout, n - (site.pos - model.core_start) - model.length, model.length, motif, -1, site);
      }
    }
  }

  // Keeps the site of the window of `length` bases at `start` of the layout
  // if it lies in one allele, touches its variant and holds no break.
  void keep(const GroupLayout& layout, std::uint64_t start, std::uint64_t length, std::size_t motif,
            std::int8_t strand, const SiteMatch& site) {
    const auto& starts = layout.starts;
    const auto a = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), start) - starts.begin()) - 1;
    if (start + length > starts[a + 1]) return;
    const std::uint64_t local = start - starts[a] + layout.cut[a];  // in the whole allele
    const std::uint64_t size = alleles_.starts[a + 1] - alleles_.starts[a];
    const StartRange range = window_starts(alleles_.left[a], alleles_.changed[a], size, length);
    const auto s = static_cast<std::int64_t>(local);
    if (s < range.first || s >= range.end) return;
    const std::uint64_t begin = alleles_.starts[a] + local;
    if (alleles_.breaks[begin + length] != alleles_.breaks[begin]) return;
    found_.push_back({(a / 2) * motifs_.size() + motif, a % 2 == 1, {true, true, strand, s, site.css, site.mss}});
  }

  void add_allele(AlleleColumns& columns, std::size_t motif, const BestWindow& best, const VariantSlice& slice) {
    columns.strand.push_back(best.found ? best.strand : 0);
    columns.offset.push_back(best.found ? best.start - slice.left + slice.lead : 0);
    columns.css.push_back(best.found ? best.css : kMissing);
    columns.mss.push_back(best.found ? best.mss : kMissing);
    columns.pvalue.push_back(best.found ? pvalues_(static_cast<std::int32_t>(motif), best.strand, best.mss) : kMissing);
  }

  // The row of a pair, from the passing windows the scan found: an allele
  // with some has its best among them (they pass, and the scan gives every
  // passing window with its exact scores); the others are scored window by window.
  void add_row(std::size_t pair, std::span<const FoundSite> found, EffectRows& rows) {
    const std::size_t v = first_ + pair / motifs_.size();
    const std::size_t motif = pair % motifs_.size();
    const VariantSlice& slice = batch_.variants[v];
    BestWindow ref, alt;
    for (const FoundSite& site : found) {
      BestWindow& best = site.alt ? alt : ref;
      if (ranks_above(site.window, best)) best = site.window;
    }
    const std::size_t k = model_of_motif_[motif];
    if (k != kNoModel) {
      const ScoringMatrix& model = motifs_.model(k);
      const SiteScanner& scanner = motifs_.scanner().scanner(k);
      const bool both = options_.strand != stream::Strand::kForward;
      const std::size_t a = 2 * (v - first_);
      for (const std::size_t allele : {a, a + 1}) {
        BestWindow& best = allele == a ? ref : alt;
        if (best.found) continue;
        const AlleleCodes codes = alleles_.allele(allele, both);
        const StartRange starts = window_starts(slice.left, alleles_.changed[allele], codes.forward.size(), model.length);
        best = best_window(model, scanner, codes, starts);
      }
    }
    const Effect effect = static_cast<Effect>((alt.passes ? 1 : 0) | (ref.passes ? 2 : 0));
    if (effect == Effect::kNone && !options_.all) return;
    rows.variant.push_back(static_cast<std::uint32_t>(v));
    rows.motif.push_back(static_cast<std::uint32_t>(motif));
    add_allele(rows.ref, motif, ref, slice);
    add_allele(rows.alt, motif, alt, slice);
    const bool paired = ref.found && alt.found;
    rows.delta_mss.push_back(paired ? alt.mss - ref.mss : kMissing);
    rows.log10_ratio.push_back(
        paired ? static_cast<float>(std::log10(static_cast<double>(rows.ref.pvalue.back()) /
                                               static_cast<double>(rows.alt.pvalue.back())))
               : kMissing);
    rows.effect.push_back(effect);
  }

  const stream::MotifSet& motifs_;
  const stream::HitPValues& pvalues_;
  const VariantBatch& batch_;
  const EffectOptions& options_;
  const std::vector<std::size_t>& model_of_motif_;  // motif -> its model, or kNoModel (fewer than 5 positions)
  const std::vector<LengthGroup>& groups_;          // the models by length, each group scanned on its own
  std::size_t first_ = 0;                           // the chunk's first variant
  ChunkAlleles alleles_;                            // the chunk's alleles, end to end
  std::vector<FoundSite> found_;                    // the passing windows of the chunk's scan
};

}  // namespace

void AlleleColumns::append(const AlleleColumns& other) {
  strand.insert(strand.end(), other.strand.begin(), other.strand.end());
  offset.insert(offset.end(), other.offset.begin(), other.offset.end());
  css.insert(css.end(), other.css.begin(), other.css.end());
  mss.insert(mss.end(), other.mss.begin(), other.mss.end());
  pvalue.insert(pvalue.end(), other.pvalue.begin(), other.pvalue.end());
}

void EffectRows::append(const EffectRows& other) {
  variant.insert(variant.end(), other.variant.begin(), other.variant.end());
  motif.insert(motif.end(), other.motif.begin(), other.motif.end());
  ref.append(other.ref);
  alt.append(other.alt);
  delta_mss.insert(delta_mss.end(), other.delta_mss.begin(), other.delta_mss.end());
  log10_ratio.insert(log10_ratio.end(), other.log10_ratio.begin(), other.log10_ratio.end());
  effect.insert(effect.end(), other.effect.begin(), other.effect.end());
}

EffectRows scan_effects(const stream::MotifSet& motifs, const stream::HitPValues& pvalues,
                        const VariantBatch& batch, const EffectOptions& options,
                        const std::function<bool()>& interrupted) {
  if (pvalues.size() != motifs.size()) {
    throw std::invalid_argument("the p-value tables belong to another motif set");
  }
  check_batch(batch);
  std::vector<std::size_t> model_of_motif(motifs.size(), kNoModel);
  for (std::size_t k = 0; k < motifs.scanned_count(); ++k) model_of_motif[motifs.motif_of(k)] = k;
  const std::vector<LengthGroup> groups = length_groups(motifs);

  const std::size_t chunk = std::max<std::size_t>(options.chunk, 1);
  const std::size_t count = (batch.variants.size() + chunk - 1) / chunk;
  std::vector<EffectRows> parts(count);
  auto scan_one = [&](std::size_t i) {
    ChunkScan scan(motifs, pvalues, batch, options, model_of_motif, groups);
    parts[i] = scan.run(i * chunk, std::min(batch.variants.size(), (i + 1) * chunk));
  };
  if (count == 1) {
    scan_one(0);
  } else if (count > 1) {
    stream::run_on_workers(count, options.threads, scan_one, interrupted);
  }
  EffectRows rows;
  for (EffectRows& part : parts) {
    rows.append(part);
    part = EffectRows{};
  }
  return rows;
}

}  // namespace vok::variants
