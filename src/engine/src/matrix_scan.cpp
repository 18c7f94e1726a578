#include "matrix_scan.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <variant>

#include "scoring/scoring_matrix.hpp"

namespace vok {
namespace {

// Pieces per worker when records allow it, so that uneven pieces still even out.
constexpr std::uint64_t kPiecesPerThread = 8;
// A piece of fewer positions would spend more on per-call setup than on scanning.
constexpr std::uint64_t kSmallestPiece = std::uint64_t{1} << 14;
// About a millisecond per model: a cancelled run stops within one piece.
constexpr std::uint64_t kLargestPiece = std::uint64_t{1} << 20;

// dst[i] = src[count - 1 - i], eight bytes at a time (the library's
// reverse_copy goes byte by byte).
void reverse_bases(const BaseCode* src, std::size_t count, BaseCode* dst) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, src + count - i - 8, 8);
    chunk = __builtin_bswap64(chunk);
    std::memcpy(dst + i, &chunk, 8);
  }
  for (; i < count; ++i) dst[i] = src[count - 1 - i];
}

}  // namespace

Thresholds thresholds_for(const CalculatorState& state, const PwmMatrix& matrix) {
  const auto entry = state.profiles.find(matrix.name);
  return entry != state.profiles.end() ? entry->second : state.defaults;
}

bool build_models(WorkerPool& pool, const CalculatorState& state,
                  const std::function<bool()>& interrupted, EvaluationModels& built) {
  std::vector<std::optional<ScoringMatrix>> slots(state.matrices.size());
  const PoolTask task = [&](std::size_t index, const StopSignal&) {
    const PwmMatrix& matrix = state.matrices[index];
    auto result = build_scoring_matrix(matrix, thresholds_for(state, matrix));
    if (auto* model = std::get_if<ScoringMatrix>(&result)) slots[index] = std::move(*model);
  };
  if (pool.run(slots.size(), task, interrupted) == RunOutcome::kInterrupted) return false;
  for (std::size_t index = 0; index < slots.size(); ++index) {
    if (!slots[index]) continue;  // MatrixToShort: no core, no sites
    built.models.push_back(std::move(*slots[index]));
    built.matrix_of.push_back(static_cast<std::uint32_t>(index));
  }
  return true;
}

std::vector<ScanPiece> plan_pieces(std::span<const StrandRecord> records, std::size_t threads) {
  std::uint64_t total = 0;
  for (const StrandRecord& record : records) total += record.bases.size();
  const std::uint64_t wanted = total / (kPiecesPerThread * std::max<std::size_t>(threads, 1));
  const std::uint64_t size = std::clamp(wanted, kSmallestPiece, kLargestPiece);
  std::vector<ScanPiece> pieces;
  // Forward pieces of each sequence: [first, end) in `pieces`.
  std::vector<std::pair<std::size_t, std::size_t>> forward_pieces;
  const auto cut = [&](std::uint32_t r, std::uint64_t positions) {
    for (std::uint64_t begin = 0; begin < positions; begin += size) {
      pieces.push_back({r, begin, std::min(positions, begin + size)});
    }
  };
  for (std::uint32_t r = 0; r < records.size(); ++r) {
    const StrandRecord& record = records[r];
    const std::uint64_t n = record.bases.size();
    if (n < kCoreLength) continue;
    const std::uint64_t positions = n - kCoreLength + 1;  // core words in the record
    if (record.forward) {
      if (forward_pieces.size() <= record.sequence) forward_pieces.resize(record.sequence + 1, {0, 0});
      forward_pieces[record.sequence].first = pieces.size();
      cut(r, positions);
      forward_pieces[record.sequence].second = pieces.size();
      continue;
    }
    const auto [first, end] = record.sequence < forward_pieces.size() ? forward_pieces[record.sequence]
                                                                       : std::pair<std::size_t, std::size_t>{0, 0};
    if (first == end) {
      cut(r, positions);
      continue;
    }
    // Core word p of the reversed record covers the forward word at positions - 1 - p.
    for (std::size_t j = end; j-- > first;) {
      pieces[j].partner = static_cast<std::uint32_t>(pieces.size());
      pieces.push_back({r, positions - pieces[j].end, positions - pieces[j].begin});
    }
  }
  return pieces;
}

namespace {

// The bases a piece's windows cover: a forward record is scanned in place;
// of a reverse record only the stretch from the leftmost window start to the
// last window end is reversed, into `reversed`. `offset` is the record index
// of the stretch's first base. The stretch ends at the record's end whenever
// a window is cut there, so windows are cut exactly as in the whole record.
std::span<const BaseCode> piece_bases(const MultiScanner& scanner, const StrandRecord& record,
                                      const ScanPiece& piece, std::vector<BaseCode>& reversed,
                                      std::uint64_t& offset) {
  offset = 0;
  if (record.forward) return record.bases;
  const std::uint64_t n = record.bases.size();
  offset = piece.begin - std::min(piece.begin, scanner.deepest_core());
  const std::uint64_t end = std::min(n, piece.end + scanner.longest());
  reversed.resize(end - offset);
  reverse_bases(record.bases.data() + (n - end), end - offset, reversed.data());
  return reversed;
}

// Every model's candidates among the piece's core words, counted from `offset`.
void piece_ranges(const MultiScanner& scanner, const EvaluationModels& built, const StrandRecord& record,
                  const ScanPiece& piece, std::uint64_t offset, std::vector<CandidateRange>& ranges,
                  std::vector<std::vector<SiteMatch>>& sites) {
  const std::size_t models = scanner.size();
  ranges.resize(models);
  if (sites.size() < models) sites.resize(models);
  const std::uint64_t n = record.bases.size();
  for (std::size_t k = 0; k < models; ++k) {
    // Candidate c is the core word at m + c: the piece's words m + c in [begin, end).
    const std::uint64_t m = built.models[k].core_start;
    const std::uint64_t count = scanner.scanner(k).candidate_count(n);
    const std::uint64_t first = std::min(count, std::max(piece.begin, m) - m);
    const std::uint64_t end = std::max(first, std::min(count, std::max(piece.end, m) - m));
    ranges[k] = first < end ? CandidateRange{first - offset, end - offset} : CandidateRange{};
    sites[k].clear();
  }
}

void collect_hits(const EvaluationModels& built, const StrandRecord& record, std::uint64_t offset,
                  std::span<const std::vector<SiteMatch>> sites, PieceHits& hits) {
  const std::uint64_t n = record.bases.size();
  for (std::size_t k = 0; k < built.models.size(); ++k) {
    if (sites[k].empty()) continue;
    std::vector<Hit> converted;
    converted.reserve(sites[k].size());
    for (const SiteMatch& site : sites[k]) {
      // The core word at p on the reversed record covers forward indices
      // n - p - 5 .. n - p - 1; report its leftmost one.
      const std::uint64_t p = site.pos + offset;
      const std::uint64_t pos = record.forward ? p : n - p - kCoreLength;
      converted.push_back(Hit{pos, built.matrix_of[k], record.sequence, site.css, site.mss, record.forward});
    }
    hits.emplace_back(static_cast<std::uint32_t>(k), std::move(converted));
  }
}

}  // namespace

void scan_piece(const MultiScanner& scanner, const EvaluationModels& built,
                std::span<const StrandRecord> records, std::span<const ScanPiece> pieces,
                std::size_t index, std::span<PieceHits> hits) {
  thread_local std::vector<CandidateRange> ranges, partner_ranges;
  thread_local std::vector<std::vector<SiteMatch>> sites, partner_sites;
  thread_local std::vector<BaseCode> reversed;
  const ScanPiece& piece = pieces[index];
  const StrandRecord& record = records[piece.record];
  std::uint64_t offset = 0;
  const std::span<const BaseCode> bases = piece_bases(scanner, record, piece, reversed, offset);
  piece_ranges(scanner, built, record, piece, offset, ranges, sites);
  const std::span<std::vector<SiteMatch>> found(sites.data(), scanner.size());
  if (piece.partner == kNoPartner) {
    scanner.scan(bases, ranges, found);
    collect_hits(built, record, offset, found, hits[index]);
    return;
  }
  // The forward piece and the reverse one over the same bases, in one pass.
  const ScanPiece& mirror = pieces[piece.partner];
  const StrandRecord& other = records[mirror.record];
  std::uint64_t other_offset = 0;
  const std::span<const BaseCode> other_bases = piece_bases(scanner, other, mirror, reversed, other_offset);
  piece_ranges(scanner, built, other, mirror, other_offset, partner_ranges, partner_sites);
  const std::span<std::vector<SiteMatch>> other_found(partner_sites.data(), scanner.size());
  // other_bases[j] is the record's base n - 1 - other_offset - j.
  scanner.scan_strands(bases, other_bases, OtherStrand::kReversed, other.bases.size() - 1 - other_offset, ranges,
                       partner_ranges, found, other_found);
  collect_hits(built, record, offset, found, hits[index]);
  collect_hits(built, other, other_offset, other_found, hits[piece.partner]);
}

}  // namespace vok
