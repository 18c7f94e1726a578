// Variant effects for Python: a batch of variants in, effect rows out as
// columns or as TSV lines.
#include <pybind11/stl.h>

#include <cstring>

#include "bindings.hpp"
#include "variants/effect_format.hpp"
#include "variants/effect_scan.hpp"

namespace vok::scanner_binding {
namespace {

using variants::AlleleColumns;
using variants::EffectRows;

// One int64 row per variant: text offset, left, ref_length, alt_length, right, lead.
using SliceTable = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
constexpr py::ssize_t kSliceFields = 6;
constexpr std::int64_t kMostLead = std::int64_t{1} << 40;

template <typename T>
py::array_t<T> to_array(const std::vector<T>& values) {
  py::array_t<T> array(static_cast<py::ssize_t>(values.size()));
  if (!values.empty()) std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(T));
  return array;
}

std::uint32_t slice_length(std::int64_t value, py::ssize_t row) {
  if (value < 0 || value > UINT32_MAX) {
    throw py::value_error("variant " + std::to_string(row) + ": a length out of range");
  }
  return static_cast<std::uint32_t>(value);
}

variants::VariantBatch batch_from(const py::bytes& letters, const SliceTable& slices) {
  if (slices.ndim() != 2 || slices.shape(1) != kSliceFields) {
    throw py::value_error("slices must have shape (variants, 6)");
  }
  variants::VariantBatch batch;
  batch.letters = std::string(std::string_view(letters));
  const auto rows = slices.unchecked<2>();
  batch.variants.resize(static_cast<std::size_t>(slices.shape(0)));
  for (py::ssize_t i = 0; i < slices.shape(0); ++i) {
    if (rows(i, 0) < 0) throw py::value_error("variant " + std::to_string(i) + ": negative text offset");
    variants::VariantSlice& slice = batch.variants[static_cast<std::size_t>(i)];
    slice.text = static_cast<std::uint64_t>(rows(i, 0));
    slice.left = slice_length(rows(i, 1), i);
    slice.ref_length = slice_length(rows(i, 2), i);
    slice.alt_length = slice_length(rows(i, 3), i);
    slice.right = slice_length(rows(i, 4), i);
    // An offset far beyond any chromosome would only overflow the offsets.
    if (rows(i, 5) < -kMostLead || rows(i, 5) > kMostLead) {
      throw py::value_error("variant " + std::to_string(i) + ": lead out of range");
    }
    slice.lead = rows(i, 5);
  }
  return batch;
}

void add_allele(py::dict& columns, const char* prefix, const AlleleColumns& allele) {
  const std::string name(prefix);
  columns[py::str(name + "strand")] = to_array(allele.strand);
  columns[py::str(name + "offset")] = to_array(allele.offset);
  columns[py::str(name + "css")] = to_array(allele.css);
  columns[py::str(name + "mss")] = to_array(allele.mss);
  columns[py::str(name + "pvalue")] = to_array(allele.pvalue);
}

py::dict columns_of(const EffectRows& rows) {
  py::dict columns;
  columns["variant"] = to_array(rows.variant);
  columns["motif"] = to_array(rows.motif);
  add_allele(columns, "ref_", rows.ref);
  add_allele(columns, "alt_", rows.alt);
  columns["delta_mss"] = to_array(rows.delta_mss);
  columns["log10_pvalue_ratio"] = to_array(rows.log10_ratio);
  std::vector<std::int8_t> effect(rows.effect.size());
  for (std::size_t i = 0; i < effect.size(); ++i) effect[i] = static_cast<std::int8_t>(rows.effect[i]);
  columns["effect"] = to_array(effect);
  return columns;
}

EffectRows score_variants(const py::object& motifs, const py::object& pvalues, const py::bytes& letters,
                          const SliceTable& slices, bool all, const std::string& strand, bool mask,
                          long threads, const py::object& stop) {
  if (threads < 0) throw py::value_error("threads must be 0 (the pool's default) or more");
  const auto set = motif_set_of(motifs);
  const auto tables = hit_pvalues_of(pvalues);
  if (!tables) throw py::type_error("pvalues must be the HitPValues of the motifs");
  variants::EffectOptions options;
  options.strand = parse_strand(strand);
  options.mask = mask;
  options.all = all;
  options.threads = static_cast<std::size_t>(threads);
  const variants::VariantBatch batch = batch_from(letters, slices);
  scanner_binding::GilRelease release;
  return variants::scan_effects(*set, *tables, batch, options, signal_check(stop));
}

py::bytes effect_lines(const EffectRows& rows, const std::vector<std::string>& labels, const py::object& motifs) {
  const auto set = motif_set_of(motifs);
  std::string text;
  {
    scanner_binding::GilRelease release;
    variants::append_effect_lines(text, rows, labels, *set);
  }
  return py::bytes(text);
}

}  // namespace

void register_variant_effects(py::module_& module) {
  py::class_<EffectRows>(module, "EffectRows",
                         "Effect rows of a batch of variants, in variant order, then motif order.")
      .def("__len__", &EffectRows::size)
      .def("columns", &columns_of,
           "A dict of numpy arrays: variant, motif, ref_/alt_ strand, offset, css, mss, pvalue, "
           "delta_mss, log10_pvalue_ratio, effect (0 none, 1 gain, 2 loss, 3 both); strand 0 "
           "and NaN scores where an allele has no window.")
      .def("lines", &effect_lines, py::arg("labels"), py::arg("motifs"),
           "The TSV lines of the rows, each starting with labels[variant] (bytes: chrom, pos, id, "
           "ref and alt, tab-separated).");
  module.attr("EFFECT_HEADER") = py::str(variants::effect_header());
  module.def("score_variants", &score_variants, py::arg("motifs"), py::arg("pvalues"), py::arg("letters"),
             py::arg("slices"), py::kw_only(), py::arg("all") = false, py::arg("strand") = "both",
             py::arg("mask") = false, py::arg("threads") = 0, py::arg("stop") = py::none(),
             "The effect rows of a batch: `letters` holds each variant's left context, REF's and "
             "ALT's changed bases and right context; `slices` one int64 row per variant (text "
             "offset, left, ref_length, alt_length, right, lead: the first changed base relative "
             "to the first reference base). all: a row for every variant and motif; stop: a callable asked "
             "while the scan runs, a true answer ends it (KeyboardInterrupt).");
}

}  // namespace vok::scanner_binding
