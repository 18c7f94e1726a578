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

namespace vok::scanner_binding {
namespace {

stream::HitFormat parse_format(const std::string& text) {
  if (text == "tsv") return stream::HitFormat::kTsv;
  if (text == "bed") return stream::HitFormat::kBed;
  if (text == "bed+") return stream::HitFormat::kBedPlus;
  throw py::value_error("format must be 'tsv', 'bed' or 'bed+', not '" + text + "'");
}

class PyHitWriter {
 public:
  PyHitWriter(const py::object& path, const std::string& format, const py::object& motifs,
              bool compress, bool header, const py::object& pvalues)
      : format_(parse_format(format)), motifs_(motif_set_of(motifs)), pvalues_(hit_pvalues_of(pvalues)) {
    if (pvalues_ && pvalues_->size() != motifs_->size()) {
      throw py::value_error("pvalues must be the HitPValues of the same motifs");
    }
    std::optional<std::string> target;
    if (!path.is_none()) {
      target = py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
    }
    if (header) pending_header_ = stream::hit_header(format_, pvalues_ != nullptr);
    py::gil_scoped_release release;
    sink_ = std::make_unique<stream::OutputSink>(target, compress);
  }

  void write(const stream::HitBatch& batch) {
    if (!sink_ || sink_->closed()) throw py::value_error("write to a closed HitWriter");
    py::gil_scoped_release release;
    text_.clear();
    text_.swap(pending_header_);
    const stream::NameNotes notes = stream::append_hits(text_, batch, *motifs_, format_, pvalues_.get());
    notes_.control_characters |= notes.control_characters;
    notes_.bed_comment |= notes.bed_comment;
    sink_->write(text_);
    if (text_.capacity() > (std::size_t{1} << 24)) std::string().swap(text_);
  }

  // Lines formatted elsewhere (by cluster workers), in output order.
  void write_text(const py::bytes& lines) {
    if (!sink_ || sink_->closed()) throw py::value_error("write to a closed HitWriter");
    const std::string_view view = lines;
    py::gil_scoped_release release;
    if (!pending_header_.empty()) {
      sink_->write(pending_header_);
      pending_header_.clear();
    }
    sink_->write(view);
  }

  void close() {
    if (!sink_ || sink_->closed()) return;
    py::gil_scoped_release release;
    if (!pending_header_.empty()) sink_->write(pending_header_);
    pending_header_.clear();
    sink_->close();
  }

  const stream::NameNotes& notes() const { return notes_; }

 private:
  stream::HitFormat format_;                        // line format
  std::shared_ptr<const stream::MotifSet> motifs_;  // ids and names of the motifs
  std::shared_ptr<const stream::HitPValues> pvalues_;  // per-hit p-value tables; null: no pvalue column
  std::unique_ptr<stream::OutputSink> sink_;        // the destination
  std::string text_;                                // formatted lines of one batch
  // The header goes out with the first batch or at close, so a run that fails
  // before its first hit leaves nothing that reads as an empty result.
  std::string pending_header_;
  stream::NameNotes notes_;  // what the sequence names written so far met
};

// The lines HitWriter would write for `batch`, without a header.
py::bytes format_hits(const stream::HitBatch& batch, const std::string& format, const py::object& motifs,
                      const py::object& pvalues) {
  const stream::HitFormat parsed = parse_format(format);
  const auto motif_set = motif_set_of(motifs);
  const auto tables = hit_pvalues_of(pvalues);
  std::string text;
  {
    py::gil_scoped_release release;
    stream::append_hits(text, batch, *motif_set, parsed, tables.get());
  }
  return py::bytes(text);
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
    py::gil_scoped_release release;
    merged = stream::merge_sorted_lines(runs);
  }
  return py::bytes(merged);
}

}  // namespace

void register_hit_writer(py::module_& module) {
  py::class_<PyHitWriter>(module, "HitWriter",
                          "Writes hit batches as TSV, BED or BED+ lines to a file or standard "
                          "output, optionally gzip-compressed.")
      .def(py::init<const py::object&, const std::string&, const py::object&, bool, bool,
                    const py::object&>(),
           py::arg("path"), py::arg("format") = "tsv", py::kw_only(), py::arg("motifs"),
           py::arg("compress") = false, py::arg("header") = true, py::arg("pvalues") = py::none(),
           "path: a file to create, or None for standard output; format: 'tsv', 'bed' or "
           "'bed+'; compress: gzip; header: the TSV header line (the BED formats have none); "
           "pvalues: a HitPValues of the same motifs, for a pvalue column in TSV and BED+.")
      .def("write", &PyHitWriter::write, py::arg("batch"))
      .def("write_text", &PyHitWriter::write_text, py::arg("lines"),
           "Writes lines already formatted (by format_hits) in this writer's format.")
      .def("close", &PyHitWriter::close)
      .def_property_readonly(
          "names_cleaned", [](const PyHitWriter& self) { return self.notes().control_characters; },
          "Whether a sequence name written so far held control characters (written as '_').")
      .def_property_readonly(
          "names_read_as_comments", [](const PyHitWriter& self) { return self.notes().bed_comment; },
          "Whether a BED line written so far starts with '#', 'track' or 'browser'.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PyHitWriter& self, py::args) { self.close(); });
  module.def("format_hits", &format_hits, py::arg("batch"), py::arg("format") = "tsv", py::kw_only(),
             py::arg("motifs"), py::arg("pvalues") = py::none(),
             "The lines a HitWriter of these settings writes for `batch`, header excluded, as bytes.");
  module.def("merge_lines", &merge_lines, py::arg("texts"), py::arg("keys"),
             "Interleaves runs of lines sorted by their uint64 keys (one key per line) into one text; "
             "of equal keys the earlier run's line comes first.");
}

}  // namespace vok::scanner_binding
