#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "bindings.hpp"
#include "stream/hit_format.hpp"
#include "stream/line_merge.hpp"
#include "stream/output_sink.hpp"
#include "stream/qvalues.hpp"

namespace vok::scanner_binding {

stream::HitFormat parse_format(const std::string& text) {
  if (text == "tsv") return stream::HitFormat::kTsv;
  if (text == "bed") return stream::HitFormat::kBed;
  if (text == "bed+") return stream::HitFormat::kBedPlus;
  throw py::value_error("format must be 'tsv', 'bed' or 'bed+', not '" + text + "'");
}

namespace {

class PyHitWriter {
 public:
  PyHitWriter(const py::object& path, const std::string& format, const py::object& motifs,
              bool compress, bool header, const py::object& pvalues, bool site,
              const py::object& qvalue_lines, bool region)
      : format_(parse_format(format)), motifs_(motif_set_of(motifs)), pvalues_(hit_pvalues_of(pvalues)) {
    if (pvalues_ && pvalues_->size() != motifs_->size()) {
      throw py::value_error("pvalues must be the HitPValues of the same motifs");
    }
    layout_ = std::make_unique<stream::HitLineFormat>(*motifs_, format_, pvalues_.get(), site, region);
    const auto fspath = [](const py::object& given) {
      return py::str(py::module_::import("os").attr("fspath")(given)).cast<std::string>();
    };
    if (!path.is_none()) target_ = fspath(path);
    compress_ = compress;
    if (!qvalue_lines.is_none() && format_ != stream::HitFormat::kBed) {
      if (!pvalues_) throw py::value_error("a qvalue column needs the pvalue column (pvalues)");
      qvalue_lines_ = fspath(qvalue_lines);
    }
    if (header) pending_header_ = stream::hit_header(format_, pvalues_ != nullptr, site, layout_->has_region());
    scanner_binding::GilRelease release;
    // With q-values the lines wait in their own file until the scan ends.
    sink_ = std::make_unique<stream::OutputSink>(qvalue_lines_ ? qvalue_lines_ : target_,
                                                 qvalue_lines_ ? false : compress);
  }

  void write(const stream::HitBatch& batch) {
    if (!sink_ || sink_->closed()) throw py::value_error("write to a closed HitWriter");
    if (layout_->has_site() && batch.columns.site_width == 0 && batch.size() > 0) {
      throw py::value_error("the writer has a site column but the batch carries no sites");
    }
    if (layout_->has_region() && batch.region_names.size() != batch.sequence_names.size()) {
      throw py::value_error("the writer has a region column but the batch carries no region names");
    }
    scanner_binding::GilRelease release;
    text_.clear();
    text_.append(pending_header_);
    pending_header_.clear();
    notes_ |= stream::append_hits(text_, batch, *layout_);
    sink_->write(text_.view());
    if (text_.capacity() > (std::size_t{1} << 24)) text_ = stream::TextBuffer();
  }

  // Lines formatted by a scan's workers.
  void write_lines(const HitLines& lines) {
    write_view(lines.text.view());
    notes_ |= lines.notes;
  }

  // Leaving a `with` block: a writer waiting for q-values closes its lines'
  // file only (the windows scanned are not known there).
  void close_on_exit() {
    if (!qvalue_lines_) return close(std::nullopt);
    scanner_binding::GilRelease release;
    if (sink_) sink_->close();
  }

  // Lines formatted elsewhere (by cluster workers), in output order.
  void write_text(const py::buffer& lines) {
    const py::buffer_info info = lines.request();
    if (info.ndim != 1 || info.itemsize != 1) throw py::value_error("write_text takes bytes");
    write_view({static_cast<const char*>(info.ptr), static_cast<std::size_t>(info.size)});
  }

 private:
  void write_view(std::string_view view) {
    if (!sink_ || sink_->closed()) throw py::value_error("write to a closed HitWriter");
    scanner_binding::GilRelease release;
    if (!pending_header_.empty()) {
      sink_->write(pending_header_);
      pending_header_.clear();
    }
    sink_->write(view);
  }

 public:
  // With q-values, `windows` gives each motif id's windows scanned (m).
  void close(const std::optional<std::vector<std::pair<std::string, std::uint64_t>>>& windows) {
    if (!sink_ || sink_->closed()) return;
    if (qvalue_lines_ && !windows) throw py::value_error("a HitWriter with q-values closes with the windows scanned");
    scanner_binding::GilRelease release;
    if (!pending_header_.empty()) sink_->write(pending_header_);
    pending_header_.clear();
    sink_->close();
    if (!qvalue_lines_) return;
    stream::OutputSink out(target_, compress_);
    stream::add_qvalue_column(*qvalue_lines_, out, qvalue_columns(), *windows);
    out.close();
  }

  const stream::NameNotes& notes() const { return notes_; }

 private:
  // Where the q-value pass finds the motif id and the p-value: fields 3 and
  // 9 of a TSV line (8 of BED+), one further on after a region column.
  stream::QValueColumns qvalue_columns() const {
    const std::size_t shift = layout_->has_region() ? 1 : 0;
    return {3 + shift, (format_ == stream::HitFormat::kTsv ? std::size_t{9} : std::size_t{8}) + shift};
  }

  stream::HitFormat format_;                        // line format
  std::shared_ptr<const stream::MotifSet> motifs_;  // ids and names of the motifs
  std::shared_ptr<const stream::HitPValues> pvalues_;  // per-hit p-value tables; null: no pvalue column
  std::unique_ptr<stream::HitLineFormat> layout_;   // the line layout of written batches
  std::unique_ptr<stream::OutputSink> sink_;        // the destination, or the lines' own file with q-values
  std::optional<std::string> target_;               // the output file; none: standard output
  bool compress_ = false;                           // gzip the output
  std::optional<std::string> qvalue_lines_;         // where lines wait for their q-values; none: no qvalue column
  stream::TextBuffer text_;                         // formatted lines of one batch
  // The header goes out with the first batch or at close, so a run that fails
  // before its first hit leaves nothing that reads as an empty result.
  std::string pending_header_;
  stream::NameNotes notes_;  // what the record names written so far met
};

// The lines HitWriter would write for `batch`, without a header.
py::bytes format_hits(const stream::HitBatch& batch, const std::string& format, const py::object& motifs,
                      const py::object& pvalues, bool site) {
  const stream::HitFormat parsed = parse_format(format);
  const auto motif_set = motif_set_of(motifs);
  const auto tables = hit_pvalues_of(pvalues);
  const stream::HitLineFormat layout(*motif_set, parsed, tables.get(), site);
  if (layout.has_site() && batch.columns.site_width == 0 && batch.size() > 0) {
    throw py::value_error("a site column needs a batch scanned with site=True");
  }
  stream::TextBuffer text;
  {
    scanner_binding::GilRelease release;
    stream::append_hits(text, batch, layout);
  }
  return py::bytes(text.view().data(), text.size());
}

using Keys = py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>;

py::bytes merge_lines(const std::vector<py::bytes>& texts, const std::vector<Keys>& keys) {
  if (texts.size() != keys.size()) throw py::value_error("merge_lines: one key array per text");
  // Keys copied bytewise: arrays unpickled from a worker need not be aligned for their type.
  std::vector<std::vector<std::uint64_t>> aligned(keys.size());
  std::vector<stream::KeyedLines> runs;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    aligned[i].resize(static_cast<std::size_t>(keys[i].size()));
    if (!aligned[i].empty()) {
      std::memcpy(aligned[i].data(), keys[i].data(), aligned[i].size() * sizeof(std::uint64_t));
    }
    runs.push_back({std::string_view(texts[i]), aligned[i]});
  }
  std::string merged;
  {
    GilRelease release;
    merged = stream::merge_sorted_lines(runs);
  }
  return py::bytes(merged);
}

}  // namespace

void register_hit_writer(py::module_& module) {
  py::class_<HitLines>(module, "HitLines", py::buffer_protocol(),
                       "Lines of hits formatted by a scan's workers; bytes(lines) gives the text.")
      .def("__len__", [](const HitLines& lines) { return lines.hits; }, "the number of hits (lines)")
      .def_property_readonly("nbytes", [](const HitLines& lines) { return lines.text.size(); })
      .def_buffer([](HitLines& lines) {
        return py::buffer_info(const_cast<char*>(lines.text.view().data()), 1,
                               py::format_descriptor<char>::format(), 1,
                               {static_cast<py::ssize_t>(lines.text.size())}, {1}, true);
      });
  py::class_<PyHitWriter>(module, "HitWriter",
                          "Writes hit batches as TSV, BED or BED+ lines to a file or standard "
                          "output, optionally gzip-compressed.")
      .def(py::init<const py::object&, const std::string&, const py::object&, bool, bool,
                    const py::object&, bool, const py::object&, bool>(),
           py::arg("path"), py::arg("format") = "tsv", py::kw_only(), py::arg("motifs"),
           py::arg("compress") = false, py::arg("header") = true, py::arg("pvalues") = py::none(),
           py::arg("site") = false, py::arg("qvalue_lines") = py::none(), py::arg("region") = false,
           "path: a file to create, or None for standard output; format: 'tsv', 'bed' or "
           "'bed+'; compress: gzip; header: the TSV header line (the BED formats have none); "
           "pvalues: a HitPValues of the same motifs, for a pvalue column in TSV and BED+; "
           "site: a site column in TSV and BED+ (the batches must carry sites); qvalue_lines: a file "
           "where the lines wait until close(windows) adds a qvalue column after the pvalue column "
           "(TSV and BED+); region: a region column after the sequence column in TSV (the batches must "
           "carry region names).")
      .def("write", &PyHitWriter::write, py::arg("batch"))
      .def("write", &PyHitWriter::write_lines, py::arg("lines"),
           "Writes lines a FastaScan of the same settings formatted.")
      .def("write_text", &PyHitWriter::write_text, py::arg("lines"),
           "Writes lines already formatted (by format_hits) in this writer's format.")
      .def("close", &PyHitWriter::close, py::arg("windows") = py::none(),
           "Finishes the output; with qvalue_lines, `windows` is a list of (motif id, windows scanned).")
      .def_property_readonly(
          "names_cleaned", [](const PyHitWriter& self) { return self.notes().control_characters; },
          "Whether a record or region name written so far held control characters (written as '_').")
      .def_property_readonly(
          "names_read_as_comments", [](const PyHitWriter& self) { return self.notes().bed_comment; },
          "Whether a BED line written so far starts with '#', 'track' or 'browser'.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PyHitWriter& self, py::args) { self.close_on_exit(); });
  module.def("format_hits", &format_hits, py::arg("batch"), py::arg("format") = "tsv", py::kw_only(),
             py::arg("motifs"), py::arg("pvalues") = py::none(), py::arg("site") = false,
             "The lines a HitWriter of these settings writes for `batch`, header excluded, as bytes.");
  module.def("merge_lines", &merge_lines, py::arg("texts"), py::arg("keys"),
             "Interleaves runs of lines sorted by their uint64 keys (one key per line) into one text; "
             "of equal keys the earlier run's line comes first.");
}

}  // namespace vok::scanner_binding
