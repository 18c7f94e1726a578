// Pieces of strand records scanned with every model: whatever strands a list
// of records holds, the hits are those of the one-model scan of each record.
#include "matrix_scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <tuple>
#include <variant>

#include "prepared_models.hpp"
#include "scoring/site_scan.hpp"

namespace {

using HitKey = std::tuple<std::uint32_t, std::uint32_t, bool, std::uint64_t, std::uint32_t, std::uint32_t>;

HitKey key(const vok::Hit& hit) {
  return {hit.matrix, hit.sequence, hit.forward, hit.pos, std::bit_cast<std::uint32_t>(hit.css),
          std::bit_cast<std::uint32_t>(hit.mss)};
}

std::vector<HitKey> one_model_hits(const vok::CalculatorState& state,
                                   const std::vector<vok::StrandRecord>& records) {
  std::vector<HitKey> hits;
  for (std::uint32_t k = 0; k < state.matrices.size(); ++k) {
    auto built = vok::build_scoring_matrix(state.matrices[k], state.defaults);
    const auto& model = std::get<vok::ScoringMatrix>(built);
    for (const vok::StrandRecord& record : records) {
      std::vector<vok::BaseCode> bases(record.bases.begin(), record.bases.end());
      if (!record.forward) std::reverse(bases.begin(), bases.end());
      std::vector<vok::SiteMatch> sites;
      vok::scan_sites(model, bases, sites);
      for (const auto& site : sites) {
        const std::uint64_t pos = record.forward ? site.pos : bases.size() - site.pos - 5;
        hits.push_back(key({pos, k, record.sequence, site.css, site.mss, record.forward}));
      }
    }
  }
  std::sort(hits.begin(), hits.end());
  return hits;
}

std::vector<HitKey> piece_hits(const vok::PreparedModels& prepared,
                               const std::vector<vok::StrandRecord>& records) {
  const auto pieces = vok::plan_pieces(records, 4);
  std::vector<vok::PieceHits> per_piece(pieces.size());
  std::vector<bool> partnered(pieces.size(), false);
  for (const auto& piece : pieces) {
    if (piece.partner != vok::kNoPartner) partnered[piece.partner] = true;
  }
  for (std::size_t index = 0; index < pieces.size(); ++index) {
    if (!partnered[index]) vok::scan_piece(prepared.scanner(), prepared.models(), records, pieces, index, per_piece);
  }
  std::vector<HitKey> hits;
  for (const auto& piece : per_piece) {
    for (const auto& [model, found] : piece) {
      for (const vok::Hit& hit : found) hits.push_back(key(hit));
    }
  }
  std::sort(hits.begin(), hits.end());
  return hits;
}

TEST(MatrixScan, RecordsOfEitherStrandAloneOrTogetherGiveTheOneModelHits) {
  std::mt19937 generator(11);
  std::uniform_int_distribution<int> count(0, 20), base(0, 3);
  vok::CalculatorState state;
  for (const std::size_t length : {6u, 12u, 21u}) {
    vok::PwmMatrix matrix(std::to_string(length), length);
    for (float& value : matrix.values) value = static_cast<float>(count(generator));
    state.matrices.push_back(matrix);
  }
  state.defaults = {0.6f, 0.6f};
  std::vector<std::vector<vok::BaseCode>> sequences(2, std::vector<vok::BaseCode>(40'000));
  for (auto& sequence : sequences) {
    for (auto& code : sequence) code = static_cast<vok::BaseCode>(base(generator));
  }
  vok::WorkerPool pool(1);
  const auto prepared = vok::PreparedModels::build(pool, state, nullptr);
  const auto record = [&](std::uint32_t s, bool forward) {
    return vok::StrandRecord{sequences[s], s, forward};
  };
  const std::vector<std::vector<vok::StrandRecord>> lists = {
      {record(0, true), record(1, true), record(0, false), record(1, false)},
      {record(0, true), record(1, true)},
      {record(0, false), record(1, false)},
      {record(1, true), record(0, false)},  // a reverse record without its forward one
      {record(0, true), record(1, false)},
  };
  for (std::size_t i = 0; i < lists.size(); ++i) {
    const auto expected = one_model_hits(state, lists[i]);
    ASSERT_GT(expected.size(), 100u);
    EXPECT_EQ(piece_hits(*prepared, lists[i]), expected) << "record list " << i;
  }
}

}  // namespace
