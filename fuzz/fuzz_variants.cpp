// Variant effects: however a batch is cut into chunks, its rows are the same,
// and the rows of passing pairs are exactly the passing rows of all pairs.
// Input layout: a byte of options (strand, mask), a byte of chunk size, a byte
// of variant count, five bytes per variant (left, REF and ALT changed bases,
// right, lead), then the letters. A batch whose letters fall short must be
// refused with std::invalid_argument.
#include <cstring>
#include <stdexcept>
#include <vector>

#include "fuzz_check.hpp"
#include "stats/background.hpp"
#include "stream/hit_pvalues.hpp"
#include "variants/effect_scan.hpp"

namespace {

using namespace vok::variants;
using vok::stream::MotifSet;
using vok::stream::MotifSpec;

const MotifSet& motifs() {
  static const MotifSet set = [] {
    std::vector<MotifSpec> specs;
    // Enough short motifs to be scanned apart from the long ones.
    for (std::size_t length : {4u, 5u, 5u, 5u, 5u, 5u, 5u, 5u, 5u, 5u, 5u, 5u, 5u, 8u, 12u, 20u}) {
      MotifSpec spec{"m", "", vok::PwmMatrix("m", length), {0.4f, 0.5f}};
      for (std::size_t i = 0; i < length; ++i) {
        for (std::size_t b = 0; b < 4; ++b) spec.matrix.at(i, b) = 1.0f + static_cast<float>((i * 5 + b * 3 + length) % 7);
      }
      specs.push_back(std::move(spec));
    }
    return MotifSet(std::move(specs));
  }();
  return set;
}

const vok::stream::HitPValues& pvalues() {
  static const vok::stream::HitPValues tables(motifs(), vok::uniform_background(), true);
  return tables;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_row(const EffectRows& a, std::size_t i, const EffectRows& b, std::size_t j) {
  return a.variant[i] == b.variant[j] && a.motif[i] == b.motif[j] && a.effect[i] == b.effect[j] &&
         a.ref.strand[i] == b.ref.strand[j] && a.alt.strand[i] == b.alt.strand[j] &&
         a.ref.offset[i] == b.ref.offset[j] && a.alt.offset[i] == b.alt.offset[j] &&
         same_bits(a.ref.mss[i], b.ref.mss[j]) && same_bits(a.alt.css[i], b.alt.css[j]) &&
         same_bits(a.log10_ratio[i], b.log10_ratio[j]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  EffectOptions options;
  options.strand = (data[0] & 1) ? vok::stream::Strand::kBoth : vok::stream::Strand::kForward;
  options.mask = (data[0] & 2) != 0;
  options.chunk = 1 + (data[1] & 15);
  const std::size_t count = std::min<std::size_t>(data[2] & 31, (size - 3) / 5);
  VariantBatch batch;
  std::uint64_t text = 0;
  for (std::size_t v = 0; v < count; ++v) {
    const std::uint8_t* field = data + 3 + 5 * v;
    VariantSlice slice{text, field[0] & 31u, field[1] & 7u, field[2] & 7u, field[3] & 31u,
                       static_cast<std::int64_t>(field[4] & 3)};
    text += slice.left + slice.ref_length + slice.alt_length + slice.right;
    batch.variants.push_back(slice);
  }
  for (std::size_t i = 3 + 5 * count; i < size; ++i) {
    batch.letters += data[i] < 240 ? "ACGTNacgtR"[data[i] % 10] : static_cast<char>(data[i]);
  }
  const bool complete = text <= batch.letters.size();
  EffectRows all, passing, whole;
  try {
    options.all = true;
    all = scan_effects(motifs(), pvalues(), batch, options, {});
    options.chunk = 64;
    whole = scan_effects(motifs(), pvalues(), batch, options, {});
    options.all = false;
    passing = scan_effects(motifs(), pvalues(), batch, options, {});
  } catch (const std::invalid_argument&) {
    VOK_FUZZ_REQUIRE(!complete);
    return 0;
  }
  VOK_FUZZ_REQUIRE(complete);
  VOK_FUZZ_REQUIRE(all.size() == count * motifs().size() && whole.size() == all.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    VOK_FUZZ_REQUIRE(same_row(all, i, whole, i));
    if (all.effect[i] == Effect::kNone) continue;
    VOK_FUZZ_REQUIRE(next < passing.size() && same_row(all, i, passing, next));
    ++next;
  }
  VOK_FUZZ_REQUIRE(next == passing.size());
  return 0;
}
