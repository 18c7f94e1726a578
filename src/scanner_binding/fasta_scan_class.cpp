#include <pybind11/stl.h>

#include <memory>
#include <optional>

#include "bindings.hpp"
#include "stream/errors.hpp"
#include "stream/fasta_scan.hpp"
#include "stream/text_scan.hpp"

namespace vok::scanner_binding {
namespace {

std::size_t thread_count(long threads) {
  if (threads < 0) throw py::value_error("threads must be 0 (the pool's default) or more");
  return static_cast<std::size_t>(threads);
}

// Paths as str or os.PathLike; "-" is standard input.
std::vector<std::string> source_paths(const py::iterable& sources) {
  if (py::isinstance<py::str>(sources)) {
    throw py::type_error("sources must be a list of paths, not a single str");
  }
  std::vector<std::string> paths;
  py::object fspath = py::module_::import("os").attr("fspath");
  for (py::handle source : sources) paths.push_back(py::str(fspath(source)).cast<std::string>());
  return paths;
}

class PyFastaScan {
 public:
  PyFastaScan(const py::object& motifs, const py::iterable& sources, const std::string& strand,
              bool mask, bool partial_windows, long threads, std::size_t block_size, bool site,
              const std::optional<std::string>& format, const py::object& pvalues, const py::object& stop)
      : stop_(stop) {
    stream::FastaScanOptions options;
    options.scan.strand = parse_strand(strand);
    options.scan.partial_windows = partial_windows;
    options.scan.sites = site;
    options.mask = mask;
    options.threads = thread_count(threads);
    options.block_letters = block_size;
    auto set = motif_set_of(motifs);
    if (format) {
      options.lines = stream::LineOutput{parse_format(*format), hit_pvalues_of(pvalues)};
      if (options.lines->pvalues && options.lines->pvalues->size() != set->size()) {
        throw py::value_error("pvalues must be the HitPValues of the same motifs");
      }
    } else if (!pvalues.is_none()) {
      throw py::value_error("pvalues are written into lines: give a format too");
    }
    auto paths = source_paths(sources);
    scanner_binding::GilRelease release;
    lines_ = options.lines.has_value();
    scan_ = std::make_unique<stream::FastaScan>(std::move(set), std::move(paths), options);
  }

  // A HitBatch, or HitLines when the scan formats lines.
  py::object next() {
    if (!scan_) throw py::stop_iteration();
    std::optional<stream::ScanChunk> chunk;
    {
      scanner_binding::GilRelease release;
      chunk = scan_->next(signal_check(stop_));
      // At exit this thread never returns to Python: end the scan's threads first.
      if (interpreter_exiting()) scan_->close();
    }
    if (!chunk) throw py::stop_iteration();
    if (lines_) return py::cast(HitLines{std::move(chunk->text), chunk->hit_count, chunk->name_notes});
    return py::cast(std::move(chunk->hits));
  }

  void close() {
    if (!scan_) return;
    GilRelease release;
    scan_->close();
  }

  const stream::FastaScan* scan() const { return scan_.get(); }

 private:
  std::unique_ptr<stream::FastaScan> scan_;  // the running scan
  bool lines_ = false;                       // chunks are formatted lines
  py::object stop_;                          // asked while next() waits; None: signals only
};

py::object optional_int(std::optional<std::uint64_t> value) {
  return value ? py::cast(*value) : py::none();
}

stream::HitBatch scan_text(const py::object& motifs, const std::string& name,
                           const py::object& text, std::uint64_t offset,
                           std::optional<std::uint64_t> owned_start,
                           std::optional<std::uint64_t> owned_end, bool at_record_start,
                           bool at_record_end, const std::string& strand, bool mask,
                           bool partial_windows, long threads, bool site) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyUnicode_Check(text.ptr())) {
    data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
  } else if (PyBytes_Check(text.ptr())) {
    char* bytes = nullptr;
    if (PyBytes_AsStringAndSize(text.ptr(), &bytes, &size) != 0) throw py::error_already_set();
    data = bytes;
  } else {
    throw py::type_error("text must be str or bytes");
  }
  stream::TextRange range;
  range.offset = offset;
  range.owned_start = owned_start.value_or(offset);
  range.owned_end = owned_end.value_or(offset + static_cast<std::uint64_t>(size));
  range.at_record_start = at_record_start;
  range.at_record_end = at_record_end;
  stream::ScanOptions options;
  options.strand = parse_strand(strand);
  options.partial_windows = partial_windows;
  options.sites = site;
  const std::size_t pool_size = thread_count(threads);
  auto set = motif_set_of(motifs);

  GilRelease release;
  return stream::scan_text(*set, name, std::string_view(data, static_cast<std::size_t>(size)),
                           range, options, mask, pool_size, signal_check());
}

}  // namespace

void register_fasta_scan(py::module_& module) {
  py::class_<PyFastaScan>(module, "FastaScan",
                          "Iterates over the hits of FASTA inputs, one HitBatch per block.")
      .def(py::init<const py::object&, const py::iterable&, const std::string&, bool, bool, long,
                    std::size_t, bool, const std::optional<std::string>&, const py::object&,
                    const py::object&>(),
           py::arg("motifs"), py::arg("sources"), py::arg("strand") = "both",
           py::arg("mask") = false, py::arg("partial_windows") = false, py::arg("threads") = 0,
           py::arg("block_size") = std::size_t{1} << 20, py::kw_only(), py::arg("site") = false,
           py::arg("format") = py::none(), py::arg("pvalues") = py::none(), py::arg("stop") = py::none(),
           "Starts reading `sources` (paths; '-' is standard input; plain or gzip by content). "
           "strand: 'both' (forward and reverse complement), 'forward' or 'reversed' (reversed, "
           "not complemented); mask: lower-case letters end segments; partial_windows: also "
           "windows cut short at a segment's end; threads: 0 for the shared pool, else a "
           "private pool of that size; block_size: most letters per block (blocks shrink when "
           "hits are dense); site: hits carry their window's letters; format: 'tsv', 'bed' or "
           "'bed+' to get HitLines formatted by the workers (with a pvalue column from "
           "`pvalues`) instead of HitBatch columns; stop: a callable asked while next() waits, a true "
           "answer ends the scan (KeyboardInterrupt).")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &PyFastaScan::next)
      .def("close", &PyFastaScan::close)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PyFastaScan& self, py::args) { self.close(); })
      .def_property_readonly("bytes_read",
                             [](const PyFastaScan& self) -> py::object {
                               return self.scan() ? py::cast(self.scan()->bytes_read()) : py::cast(0);
                             })
      .def_property_readonly("bytes_total",
                             [](const PyFastaScan& self) {
                               return self.scan() ? optional_int(self.scan()->bytes_total())
                                                  : py::none();
                             })
      .def_property_readonly("bases_scanned",
                             [](const PyFastaScan& self) {
                               return self.scan() ? self.scan()->bases_scanned() : 0;
                             })
      .def_property_readonly("record_lengths",
                             [](const PyFastaScan& self) {
                               return self.scan() ? self.scan()->record_lengths()
                                                  : std::vector<std::uint64_t>{};
                             },
                             "Letters of each record read to its end so far, in input order.")
      .def_property_readonly("hits_total", [](const PyFastaScan& self) {
        return self.scan() ? self.scan()->hits_total() : 0;
      });

  module.def("scan_text", &scan_text, py::arg("motifs"), py::arg("name"), py::arg("text"),
             py::kw_only(), py::arg("offset") = 0, py::arg("owned_start") = py::none(),
             py::arg("owned_end") = py::none(), py::arg("at_record_start") = true,
             py::arg("at_record_end") = true, py::arg("strand") = "both", py::arg("mask") = false,
             py::arg("partial_windows") = false, py::arg("threads") = 0, py::arg("site") = false,
             "The hits of one stretch of a record whose window start lies in the owned range.");
}

}  // namespace vok::scanner_binding
