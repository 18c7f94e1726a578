#pragma once
// The scan of one record with many scoring models at once: the scan core that
// every caller (evaluate, the genome scanner, a cluster task) goes through.
//
// A long record is cut into cache-sized blocks. Per block the five-base words
// are computed once for all models; each model visits only the candidates
// whose word can still pass (its css threshold and a lossless bound on the
// matrix score), found through an index of positions by word when many models
// share the block, else through a pass table over the word array. The matrix
// sums of those candidates are computed in batches, several candidates at a
// time, in exactly the order of operations of the one-model scan.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "scoring/base_codes.hpp"
#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"

namespace vok {

// Candidates first .. end-1 of one model, numbered as SiteScanner numbers them:
// candidate c is the core word starting at record index core_start + c.
struct CandidateRange {
  std::uint64_t first = 0;  // first candidate scanned
  std::uint64_t end = 0;    // one past the last candidate scanned
};

// Which batch kernel computes the matrix sums; kAuto picks AVX2 when the CPU
// has it. Forcing a kernel is meant for tests and benchmarks.
enum class SumKernel { kAuto, kScalar, kAvx2 };

// Sets the kernel for all later scans in the process (kAvx2 falls back to
// scalar on a CPU without AVX2). Returns the kernel actually used from now on.
SumKernel force_sum_kernel(SumKernel kernel);
// The kernel scans use now (never kAuto).
SumKernel active_sum_kernel();

namespace detail {
struct ModelPlan;
struct ScanScratchState;
struct StrandState;
struct BlockView;
}  // namespace detail

// How a record's other strand was made from it: other[i] = f(forward[n-1-i])
// with f the identity (reversed) or the complement (reverse complement).
enum class OtherStrand { kReversed, kReverseComplement };

// What the scans with one scratch have done so far (batched full windows only).
struct ScanCounts {
  std::uint64_t positions = 0;   // core positions of the blocks scanned
  std::uint64_t candidates = 0;  // candidates whose window sum was computed
  std::uint64_t pruned = 0;      // candidates whose word passed but the longer bound did not
};

// Working memory of scans: blocks, word arrays, candidate lists and the pass
// tables of the thresholds last seen. One per thread; reusing it across calls
// (with the same scanner) saves rebuilding the pass tables.
class ScanScratch {
 public:
  ScanScratch();
  ~ScanScratch();
  ScanScratch(ScanScratch&&) noexcept;
  ScanScratch& operator=(ScanScratch&&) noexcept;

  ScanCounts counts() const;

 private:
  friend class MultiScanner;
  std::unique_ptr<detail::ScanScratchState> state_;  // buffers; created on first use
};

// Prepared once per run for a set of models; scan() only reads, so one
// MultiScanner may serve several threads at once (each with its own `out`).
class MultiScanner {
 public:
  // Refers to `models`, which must outlive the scanner and keep their scores
  // unchanged; thresholds are read at each scan.
  explicit MultiScanner(std::span<const ScoringMatrix> models);
  // The same, preparing the models' tables through `parallel_for(count, body)`,
  // which must call body(i) once for every i < count (on any threads) and
  // return when all calls have; an exception it throws leaves the scanner unmade.
  using ParallelFor = std::function<void(std::size_t count, const std::function<void(std::size_t)>& body)>;
  MultiScanner(std::span<const ScoringMatrix> models, const ParallelFor& parallel_for);
  ~MultiScanner();
  MultiScanner(const MultiScanner&) = delete;
  MultiScanner& operator=(const MultiScanner&) = delete;

  std::size_t size() const { return scanners_.size(); }
  const ScoringMatrix& model(std::size_t k) const { return models_[k]; }
  const SiteScanner& scanner(std::size_t k) const { return scanners_[k]; }
  std::uint64_t longest() const { return longest_; }            // largest L of the models
  std::uint64_t deepest_core() const { return deepest_core_; }  // largest core_start of the models

  // For every model k (out.size() == ranges.size() == size()), appends to
  // out[k] the sites of its candidates ranges[k] of `bases` in increasing pos,
  // exactly (positions and score bits) what scanner(k).scan_candidates gives.
  // Throws InternalFailure as the site scan does.
  void scan(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
            std::span<std::vector<SiteMatch>> out) const;

  // The same with caller-owned working memory (the overload above uses one
  // per thread).
  void scan(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
            std::span<std::vector<SiteMatch>> out, ScanScratch& scratch) const;

  // Both strands in one pass over the forward strand's words: exactly what
  // scan(forward, forward_ranges, forward_out) and scan(other, other_ranges,
  // other_out) give, where other[i] is made from forward[mirror - i] as
  // `kind` says (mirror = forward.size() - 1 for a whole record; a caller
  // may pass a stretch of the other strand). The forward span must hold the
  // bases of every other-strand core word scanned. Throws
  // std::invalid_argument if it does not.
  void scan_strands(std::span<const BaseCode> forward, std::span<const BaseCode> other,
                    OtherStrand kind, std::uint64_t mirror,
                    std::span<const CandidateRange> forward_ranges,
                    std::span<const CandidateRange> other_ranges,
                    std::span<std::vector<SiteMatch>> forward_out,
                    std::span<std::vector<SiteMatch>> other_out, ScanScratch& scratch) const;
  // The same with this thread's working memory.
  void scan_strands(std::span<const BaseCode> forward, std::span<const BaseCode> other,
                    OtherStrand kind, std::uint64_t mirror,
                    std::span<const CandidateRange> forward_ranges,
                    std::span<const CandidateRange> other_ranges,
                    std::span<std::vector<SiteMatch>> forward_out,
                    std::span<std::vector<SiteMatch>> other_out) const;

 private:
  static ScanScratch& thread_scratch();  // working memory of the overloads without one
  detail::ScanScratchState& scratch_state(ScanScratch& scratch) const;
  // Sets the strand's batched ranges (scanning the models that cannot be
  // batched at once); updates the pass tables.
  void plan_strand(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
                   std::span<std::vector<SiteMatch>> out, detail::ScanScratchState& state,
                   detail::StrandState& strand) const;
  // The candidates cut short by the record's end, one by one.
  void finish_strand(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
                     std::span<std::vector<SiteMatch>> out) const;
  detail::BlockView view_block(std::span<const BaseCode> bases, std::uint64_t block_begin,
                               std::uint64_t block_end, detail::StrandState& strand) const;
  // Prunes, scores and keeps the `count` candidates in strand.starts (in
  // `runs` ascending runs; 0 or 1: one) of model k, appending its sites.
  void score_candidates(const detail::BlockView& view, std::size_t k, detail::StrandState& strand,
                        std::size_t count, std::size_t runs, bool pair_checked,
                        detail::ScanScratchState& state, std::vector<SiteMatch>& out) const;
  void scan_block(std::span<const BaseCode> bases, std::uint64_t block_begin,
                  std::uint64_t block_end, detail::ScanScratchState& state,
                  std::span<std::vector<SiteMatch>> out) const;
  void scan_pair_block(std::span<const BaseCode> forward, std::span<const BaseCode> other,
                       OtherStrand kind, std::uint64_t mirror, std::uint64_t block_begin, std::uint64_t block_end,
                       detail::ScanScratchState& state, std::span<std::vector<SiteMatch>> forward_out,
                       std::span<std::vector<SiteMatch>> other_out) const;

  std::span<const ScoringMatrix> models_;  // the models scanned with; not owned
  std::vector<SiteScanner> scanners_;      // one per model, same order
  std::vector<detail::ModelPlan> plans_;   // per model: tables of the batched scan
  std::uint64_t id_;                       // tells scratch state of this scanner from others'
  std::uint64_t longest_ = 0;              // largest L of the models
  std::uint64_t deepest_core_ = 0;         // largest core_start of the models
};

}  // namespace vok
