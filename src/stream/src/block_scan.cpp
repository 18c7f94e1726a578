// Windows are assigned to block parts by their start, so overlapping parts
// report every site exactly once. Each run of bases is scanned as the record
// the module would see: the segment itself on the forward strand, and its
// reversed (complemented) copy on the other, whose candidate c has its
// window at forward start re - c - L.
#include "stream/block_scan.hpp"

#include <algorithm>
#include <limits>

#include "stream/letter_table.hpp"

namespace vok::stream {
namespace {

using i64 = std::int64_t;
constexpr i64 kUnbounded = std::numeric_limits<i64>::max();

// The candidates of model k on a slice of n bases: every whole window, or,
// where the slice's far end is the segment's real end and partial windows
// are wanted, the module's own candidates, windows cut short at that end
// included. The module decides those by the length of the whole run
// (`whole_n`, of which the slice leaves out the first `skipped` bases on
// this strand), so a slice keeps exactly the whole run's candidates.
i64 valid_candidates(const MotifSet& motifs, std::size_t k, i64 n, bool with_partial, i64 whole_n,
                     i64 skipped) {
  if (with_partial) {
    const SiteScanner& scanner = motifs.scanner().scanner(k);
    const auto own = static_cast<i64>(scanner.candidate_count(static_cast<std::uint64_t>(n)));
    const auto whole = static_cast<i64>(scanner.candidate_count(static_cast<std::uint64_t>(whole_n)));
    return std::min(own, std::max<i64>(whole - skipped, 0));
  }
  const i64 length = static_cast<i64>(motifs.model(k).length);
  return n >= length ? n - length + 1 : 0;
}

CandidateRange clamp_range(i64 first, i64 end, i64 valid_end) {
  first = std::max<i64>(first, 0);
  end = std::min(end, valid_end);
  if (first >= end) return {0, 0};
  return {static_cast<std::uint64_t>(first), static_cast<std::uint64_t>(end)};
}

struct Run {
  i64 start;         // record position of the first base
  i64 end;           // one past the last base
  bool start_known;  // the segment starts here (else it continues before)
  bool end_known;    // the segment ends here (else it continues after)
};

// Stable sort of scratch.hits by window start into scratch.sorted; the hits
// arrive in motif, strand, core order, which ties keep. Dense hits go through
// a counting sort over the run's positions; sparse ones are sorted directly,
// so the buckets never outweigh the hits.
void sort_by_start(const Run& run, ScanScratch& scratch) {
  const auto n = static_cast<std::size_t>(run.end - run.start);
  if (scratch.hits.size() * 8 < n) {
    scratch.sorted = scratch.hits;
    std::stable_sort(scratch.sorted.begin(), scratch.sorted.end(),
                     [](const PendingHit& a, const PendingHit& b) { return a.start < b.start; });
    return;
  }
  auto& starts = scratch.starts;
  starts.assign(n + 1, 0);
  const auto base = static_cast<std::uint64_t>(run.start);
  for (const PendingHit& hit : scratch.hits) ++starts[hit.start - base + 1];
  for (std::size_t i = 1; i < starts.size(); ++i) starts[i] += starts[i - 1];
  scratch.sorted.resize(scratch.hits.size());
  for (const PendingHit& hit : scratch.hits) scratch.sorted[starts[hit.start - base]++] = hit;
}

// Scans the slice `run` of the run `whole` (bases: the slice's first) for
// windows starting in [own_lo, own_hi).
void scan_run(const MotifSet& motifs, const BaseCode* bases, const Run& run, const Run& whole,
              i64 own_lo, i64 own_hi, const ScanOptions& options, ScanScratch& scratch) {
  const i64 n = run.end - run.start;
  const i64 whole_n = whole.end - whole.start;
  const std::size_t count = motifs.scanned_count();
  auto& ranges = scratch.ranges;
  ranges.resize(count);
  scratch.forward.resize(count);
  scratch.other.resize(count);

  // Forward strand: candidate c is the window starting at run.start + c.
  bool any_forward = false;
  for (std::size_t k = 0; k < count; ++k) {
    const i64 valid = valid_candidates(motifs, k, n, options.partial_windows && run.end_known, whole_n,
                                       run.start - whole.start);
    ranges[k] = clamp_range(own_lo - run.start, own_hi - run.start, valid);
    any_forward = any_forward || ranges[k].first < ranges[k].end;
    scratch.forward[k].clear();
    scratch.other[k].clear();
  }

  // Other strand: candidate c covers forward [run.end - c - L, run.end - c),
  // its start clipped to the segment when cut short; that start falls as c grows.
  bool any_other = false;
  auto& other_ranges = scratch.other_ranges;
  if (options.strand != Strand::kForward) {
    other_ranges.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
      const i64 length = static_cast<i64>(motifs.model(k).length);
      const i64 valid = valid_candidates(motifs, k, n, options.partial_windows && run.start_known,
                                         whole_n, whole.end - run.end);
      // Clipped start < own_hi, and (unless the segment start itself is owned) >= own_lo.
      const i64 first = run.start < own_hi ? run.end - length - own_hi + 1 : kUnbounded;
      const i64 end = run.start < own_lo ? run.end - length - own_lo + 1 : kUnbounded;
      other_ranges[k] = clamp_range(first, end, valid);
      any_other = any_other || other_ranges[k].first < other_ranges[k].end;
    }
  }
  const std::span<const BaseCode> forward{bases, static_cast<std::size_t>(n)};
  if (any_other) {
    auto& reverse = scratch.reverse;
    reverse.resize(static_cast<std::size_t>(n));
    const bool complement = options.strand == Strand::kBoth;
    const BaseCode flip = complement ? 3 : 0;  // b ^ 3 == 3 - b complements
    for (i64 i = 0; i < n; ++i) reverse[static_cast<std::size_t>(n - 1 - i)] = bases[i] ^ flip;
    if (any_forward) {
      // Both strands from one pass over the words.
      motifs.scanner().scan_strands(forward, reverse,
                                    complement ? OtherStrand::kReverseComplement : OtherStrand::kReversed,
                                    static_cast<std::uint64_t>(n - 1), ranges, other_ranges, scratch.forward,
                                    scratch.other);
    } else {
      motifs.scanner().scan(reverse, other_ranges, scratch.other);
    }
  } else if (any_forward) {
    motifs.scanner().scan(forward, ranges, scratch.forward);
  }

  // Motif by motif: forward sites (start rising), then the other strand's
  // taken backwards (start, and for equal clipped starts the core, rising).
  auto& hits = scratch.hits;
  hits.clear();
  for (std::size_t k = 0; k < count; ++k) {
    const ScoringMatrix& model = motifs.model(k);
    const i64 length = static_cast<i64>(model.length);
    const auto motif = static_cast<std::uint32_t>(motifs.motif_of(k));
    for (const SiteMatch& site : scratch.forward[k]) {
      const i64 start = run.start + static_cast<i64>(site.pos - model.core_start);
      const i64 end = std::min(start + length, run.end);
      hits.push_back({static_cast<std::uint64_t>(start), static_cast<std::uint64_t>(end),
                      static_cast<std::uint64_t>(run.start) + site.pos, motif, 1, site.css, site.mss});
    }
    const auto& other = scratch.other[k];
    for (auto site = other.rbegin(); site != other.rend(); ++site) {
      const i64 c = static_cast<i64>(site->pos - model.core_start);
      const i64 end = run.end - c;
      const i64 start = std::max(end - length, run.start);
      const i64 core = run.end - static_cast<i64>(site->pos) - 5;
      hits.push_back({static_cast<std::uint64_t>(start), static_cast<std::uint64_t>(end),
                      static_cast<std::uint64_t>(core), motif, -1, site->css, site->mss});
    }
  }
  sort_by_start(run, scratch);
}

// Slices aim at this many hits, so that the pending hits of one slice stay a
// few hundred kilobytes at any density.
constexpr std::uint64_t kSliceHits = 1 << 14;
constexpr std::uint64_t kSmallestSlice = 64;
constexpr std::uint64_t kLargestSlice = 1 << 20;

// The next slice's letters from the last one's hits: aimed at kSliceHits,
// growing at most fourfold at a time.
std::uint64_t next_slice(std::uint64_t letters, std::size_t hits) {
  const std::uint64_t aimed = hits == 0 ? 4 * letters : letters * kSliceHits / hits;
  return std::clamp(std::min(aimed, 4 * letters), kSmallestSlice, kLargestSlice);
}

// Index in the part's codes where the run holding `index` begins.
std::size_t run_begin(const BaseCode* codes, std::size_t index) {
  while (index > 0 && codes[index - 1] != kBreak) --index;
  return index;
}

}  // namespace

BlockCursor scan_block(const MotifSet& motifs, const Block& block, const ScanOptions& options,
                       ScanScratch& scratch, HitSink& sink, BlockCursor from,
                       std::size_t byte_limit, const std::atomic<bool>* stop) {
  const BlockCursor finished{block.parts.size(), 0};
  if (motifs.scanned_count() == 0) return finished;
  const i64 reach = static_cast<i64>(motifs.max_length() > 0 ? motifs.max_length() - 1 : 0);
  for (std::size_t p = from.part; p < block.parts.size(); ++p) {
    const BlockPart& part = block.parts[p];
    const BaseCode* codes = block.codes.data() + part.begin;
    const i64 offset = static_cast<i64>(part.offset);
    const i64 own_lo = std::max(static_cast<i64>(part.owned_start),
                                p == from.part ? static_cast<i64>(from.next_start) : i64{0});
    const i64 own_hi = static_cast<i64>(part.owned_end);
    if (own_lo >= own_hi) continue;
    std::size_t i = run_begin(codes, static_cast<std::size_t>(std::clamp<i64>(own_lo - offset, 0, static_cast<i64>(part.size))));
    while (i < part.size) {
      while (i < part.size && codes[i] == kBreak) ++i;
      const std::size_t first = i;
      while (i < part.size && codes[i] != kBreak) ++i;
      if (first == i) break;
      const Run run{offset + static_cast<i64>(first), offset + static_cast<i64>(i),
                    first > 0 || part.at_record_start, i < part.size || part.at_record_end};
      if (run.end <= own_lo) continue;
      if (run.start >= own_hi) break;
      // Window starts of this run lie in [run.start, run.end); each slice of
      // them is scanned on the bases its windows can reach.
      i64 lo = std::max(own_lo, run.start);
      const i64 hi = std::min(own_hi, run.end);
      while (lo < hi) {
        const i64 slice_hi = std::min(hi, lo + static_cast<i64>(scratch.slice_letters));
        const i64 bases_end = std::min(run.end, slice_hi + reach);
        const Run slice{lo, bases_end, lo == run.start && run.start_known,
                        bases_end == run.end && run.end_known};
        scan_run(motifs, codes + (lo - offset), slice, run, lo, slice_hi, options, scratch);
        sink.add(block, part, scratch.sorted);
        scratch.slice_letters = next_slice(static_cast<std::uint64_t>(slice_hi - lo), scratch.sorted.size());
        lo = slice_hi;
        const bool stopping = sink.bytes() >= byte_limit || (stop != nullptr && stop->load());
        if (stopping && (lo < own_hi || p + 1 < block.parts.size())) {
          return {p, static_cast<std::uint64_t>(lo)};
        }
      }
    }
  }
  return finished;
}

ColumnSink::ColumnSink(const MotifSet& motifs, const Block& block, const ScanOptions& options)
    : site_strand_(options.strand) {
  batch_.sequence_names = block.names;
  if (options.sites) batch_.columns.site_width = std::max<std::size_t>(motifs.max_length(), 1);
}

std::size_t ColumnSink::bytes() const { return batch_.size() * batch_.columns.bytes_per_hit(); }

void ColumnSink::add(const Block& block, const BlockPart& part, std::span<const PendingHit> hits) {
  HitColumns& columns = batch_.columns;
  const std::size_t before = columns.size();
  const std::size_t after = before + hits.size();
  columns.sequence.resize(after, static_cast<std::int32_t>(part.sequence));
  columns.start.resize(after);
  columns.end.resize(after);
  columns.motif.resize(after);
  columns.strand.resize(after);
  columns.css.resize(after);
  columns.mss.resize(after);
  columns.core.resize(after);
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const PendingHit& hit = hits[i];
    columns.start[before + i] = static_cast<std::int64_t>(hit.start);
    columns.end[before + i] = static_cast<std::int64_t>(hit.end);
    columns.motif[before + i] = static_cast<std::int32_t>(hit.motif);
    columns.strand[before + i] = hit.strand;
    columns.css[before + i] = hit.css;
    columns.mss[before + i] = hit.mss;
    columns.core[before + i] = static_cast<std::int64_t>(hit.core);
  }
  const std::size_t width = columns.site_width;
  if (width == 0) return;
  columns.site.resize(after * width, '\0');
  for (std::size_t i = 0; i < hits.size(); ++i) {
    site_letters(block, part, hits[i], site_strand_, columns.site.data() + (before + i) * width);
  }
}

void site_letters(const Block& block, const BlockPart& part, const PendingHit& hit, Strand strand,
                  char* out) {
  static constexpr char kLetters[2][4] = {{'A', 'C', 'G', 'T'}, {'a', 'c', 'g', 't'}};
  const std::size_t first = part.begin + static_cast<std::size_t>(hit.start - part.offset);
  const std::size_t count = static_cast<std::size_t>(hit.end - hit.start);
  const BaseCode* codes = block.codes.data() + first;
  const std::uint8_t* lower = block.lower_case.data() + first;
  if (hit.strand > 0) {
    for (std::size_t i = 0; i < count; ++i) out[i] = kLetters[lower[i]][codes[i]];
    return;
  }
  const BaseCode flip = strand == Strand::kBoth ? 3 : 0;  // b ^ 3 complements
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t j = count - 1 - i;
    out[i] = kLetters[lower[j]][codes[j] ^ flip];
  }
}

HitBatch scan_block(const MotifSet& motifs, const Block& block, const ScanOptions& options,
                    ScanScratch& scratch) {
  ColumnSink sink(motifs, block, options);
  scan_block(motifs, block, options, scratch, sink);
  return sink.take();
}

}  // namespace vok::stream
