// Scans of in-memory records, site tallies and count-matrix text (src/regions).
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "regions/count_text.hpp"
#include "regions/record_scan.hpp"
#include "regions/site_tally.hpp"

namespace vok::scanner_binding {
namespace {

using regions::SiteTally;
using regions::SparseRows;

using Positions = py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>;

stream::HitBatch scan_records(const py::object& motifs, const py::iterable& names, const py::list& texts,
                              const Positions& offsets, const std::optional<py::iterable>& labels,
                              bool region_names, const std::string& strand, bool mask, bool partial_windows,
                              long threads, bool site, const py::object& stop) {
  if (threads < 0) throw py::value_error("threads must be 0 (the pool's default) or more");
  regions::RecordTexts records;
  records.names = names_from_python(names);
  // The list is copied so that its items stay alive while the scan runs unlocked.
  std::vector<py::object> owners;
  for (py::handle item : texts) {
    owners.push_back(py::reinterpret_borrow<py::object>(item));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(item.ptr())) throw py::type_error("record letters must be bytes");
    if (PyBytes_AsStringAndSize(item.ptr(), &data, &size) != 0) throw py::error_already_set();
    records.letters.emplace_back(data, static_cast<std::size_t>(size));
  }
  records.offsets.assign(offsets.data(), offsets.data() + offsets.size());
  std::optional<std::vector<std::string>> label_names;
  if (labels) label_names = names_from_python(*labels);
  stream::ScanOptions options;
  options.strand = parse_strand(strand);
  options.partial_windows = partial_windows;
  options.sites = site;
  auto set = motif_set_of(motifs);
  stream::HitBatch batch;
  {
    scanner_binding::GilRelease release;
    batch = regions::scan_records(*set, records, label_names ? &*label_names : nullptr, options, mask,
                                  static_cast<std::size_t>(threads), signal_check(stop));
  }
  if (region_names) batch.region_names = std::move(records.names);
  return batch;
}

// A numpy view of a vector owned by `owner`, which the array keeps alive.
template <typename T>
py::array_t<T> view_of(const std::vector<T>& values, py::handle owner) {
  return py::array_t<T>({static_cast<py::ssize_t>(values.size())}, {static_cast<py::ssize_t>(sizeof(T))},
                        values.data(), owner);
}

regions::CellValue parse_value(const std::string& text) {
  if (text == "count") return regions::CellValue::kCount;
  if (text == "presence") return regions::CellValue::kPresence;
  if (text == "max_score") return regions::CellValue::kMaxScore;
  throw py::value_error("value must be 'count', 'presence' or 'max_score', not '" + text + "'");
}

}  // namespace

void register_regions(py::module_& module) {
  module.def("scan_records", &scan_records, py::arg("motifs"), py::arg("names"), py::arg("texts"),
             py::arg("offsets"), py::kw_only(), py::arg("labels") = py::none(), py::arg("region_names") = false,
             py::arg("strand") = "both", py::arg("mask") = false, py::arg("partial_windows") = false,
             py::arg("threads") = 0, py::arg("site") = false, py::arg("stop") = py::none(),
             "The hits of many records held as bytes, record by record; hit positions are "
             "offsets[record] + the position in the record, and sequence_names are the labels "
             "(default: the names). region_names: the batch keeps the names as its region names "
             "(for a region column); site: hits carry their window's letters; stop: a callable "
             "asked while the scan runs, a true answer ends it (KeyboardInterrupt).");

  py::class_<SparseRows>(module, "SparseRows", "Rows of (record, motif) pairs in CSR form.")
      .def_property_readonly("indptr", [](py::object self) {
        return view_of(self.cast<const SparseRows&>().indptr, self);
      })
      .def_property_readonly("indices", [](py::object self) {
        return view_of(self.cast<const SparseRows&>().indices, self);
      })
      .def_property_readonly("counts", [](py::object self) {
        return view_of(self.cast<const SparseRows&>().counts, self);
      })
      .def_property_readonly("max_mss", [](py::object self) {
        return view_of(self.cast<const SparseRows&>().max_mss, self);
      })
      .def("__len__", [](const SparseRows& self) { return self.indptr.empty() ? 0 : self.indptr.size() - 1; })
      .def("wide_text", [](const SparseRows& self, const py::iterable& names, std::size_t motif_count,
                           const std::string& value) {
        const regions::CellValue cell = parse_value(value);
        const std::vector<std::string> row_names = names_from_python(names);
        std::string text;
        {
          scanner_binding::GilRelease release;
          regions::append_wide_rows(text, self, row_names, motif_count, cell);
        }
        return py::bytes(text);
      }, py::arg("names"), py::arg("motif_count"), py::arg("value") = "count",
           "The rows as TSV lines: the name, then one cell per motif.")
      .def("matrix_market_text", [](const SparseRows& self, std::uint64_t first_row, const std::string& value) {
        const regions::CellValue cell = parse_value(value);
        std::string text;
        {
          scanner_binding::GilRelease release;
          regions::append_matrix_market_entries(text, self, first_row, cell);
        }
        return py::bytes(text);
      }, py::arg("first_row"), py::arg("value") = "count",
           "The pairs as Matrix Market 'row column value' lines, 1-based.");

  py::class_<SiteTally>(module, "SiteTally",
                        "Per-record site counts aggregated from hit batches without keeping the hits.")
      .def(py::init([](std::size_t motif_count, bool keep_pairs, bool keep_max_mss, std::size_t position_bins) {
             regions::TallySettings settings;
             settings.motif_count = motif_count;
             settings.keep_pairs = keep_pairs;
             settings.keep_max_mss = keep_max_mss;
             settings.position_bins = position_bins;
             return std::make_unique<SiteTally>(settings);
           }),
           py::arg("motif_count"), py::kw_only(), py::arg("keep_pairs") = false,
           py::arg("keep_max_mss") = false, py::arg("position_bins") = 0)
      .def("add", [](SiteTally& self, const stream::HitBatch& batch, std::size_t record_count,
                     const std::optional<Positions>& starts, const std::optional<Positions>& ends) {
        if (starts.has_value() != ends.has_value()) throw py::value_error("give both starts and ends, or neither");
        if (starts && (static_cast<std::size_t>(starts->size()) != record_count ||
                       static_cast<std::size_t>(ends->size()) != record_count)) {
          throw py::value_error("one start and one end per record");
        }
        const std::uint64_t* first = starts ? starts->data() : nullptr;
        const std::uint64_t* last = ends ? ends->data() : nullptr;
        scanner_binding::GilRelease release;
        self.add(batch, record_count, first, last);
      }, py::arg("batch"), py::arg("record_count"), py::arg("starts") = py::none(), py::arg("ends") = py::none(),
           "Adds the hits of `record_count` records (hit.sequence = the record's index in the batch); "
           "starts/ends: each record's range, for the position histogram.")
      .def_property_readonly("records", &SiteTally::records)
      .def_property_readonly("motif_sites", [](const SiteTally& self) {
        return py::array_t<std::uint64_t>(static_cast<py::ssize_t>(self.motif_sites().size()),
                                          self.motif_sites().data());
      })
      .def_property_readonly("motif_records", [](const SiteTally& self) {
        return py::array_t<std::uint64_t>(static_cast<py::ssize_t>(self.motif_records().size()),
                                          self.motif_records().data());
      })
      .def_property_readonly("positions", [](const SiteTally& self) {
        const auto& values = self.positions();
        const std::size_t motifs = self.motif_sites().size();
        const std::size_t bins = motifs == 0 ? 0 : values.size() / motifs;
        py::array_t<std::uint64_t> array({static_cast<py::ssize_t>(motifs), static_cast<py::ssize_t>(bins)});
        std::copy(values.begin(), values.end(), array.mutable_data());
        return array;
      }, "motif x bin counts of site centres over the records (first bin: the record's start).")
      .def("take_rows", &SiteTally::take_rows, "The pairs of the rows added since the last take.");
}

}  // namespace vok::scanner_binding
