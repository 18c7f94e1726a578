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
  for (std::uint32_t r = 0; r < records.size(); ++r) {
    const std::uint64_t n = records[r].bases.size();
    if (n < kCoreLength) continue;
    const std::uint64_t positions = n - kCoreLength + 1;  // core words in the record
    for (std::uint64_t begin = 0; begin < positions; begin += size) {
      pieces.push_back({r, begin, std::min(positions, begin + size)});
    }
  }
  return pieces;
}

void scan_piece(const MultiScanner& scanner, const EvaluationModels& built,
                const StrandRecord& record, const ScanPiece& piece, PieceHits& hits) {
  thread_local std::vector<CandidateRange> ranges;
  thread_local std::vector<std::vector<SiteMatch>> sites;
  thread_local std::vector<BaseCode> reversed;
  const std::size_t models = scanner.size();
  ranges.resize(models);
  if (sites.size() < models) sites.resize(models);
  const std::uint64_t n = record.bases.size();

  // The bases the piece's windows cover: a forward record is scanned in
  // place; of a reverse record only the stretch from the leftmost window
  // start to the last window end is reversed, into `reversed`. Candidate and
  // site indices below count from `offset` in record coordinates. The
  // stretch ends at the record's end whenever a window is cut there, so
  // windows are cut exactly as in the whole record.
  std::span<const BaseCode> bases = record.bases;
  std::uint64_t offset = 0;
  if (!record.forward) {
    offset = piece.begin - std::min(piece.begin, scanner.deepest_core());
    const std::uint64_t end = std::min(n, piece.end + scanner.longest());
    reversed.resize(end - offset);
    reverse_bases(record.bases.data() + (n - end), end - offset, reversed.data());
    bases = reversed;
  }

  for (std::size_t k = 0; k < models; ++k) {
    // Candidate c is the core word at m + c: the piece's words m + c in [begin, end).
    const std::uint64_t m = built.models[k].core_start;
    const std::uint64_t count = scanner.scanner(k).candidate_count(n);
    const std::uint64_t first = std::min(count, std::max(piece.begin, m) - m);
    const std::uint64_t end = std::max(first, std::min(count, std::max(piece.end, m) - m));
    ranges[k] = first < end ? CandidateRange{first - offset, end - offset} : CandidateRange{};
    sites[k].clear();
  }
  scanner.scan(bases, ranges, std::span(sites.data(), models));

  for (std::size_t k = 0; k < models; ++k) {
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

}  // namespace vok
