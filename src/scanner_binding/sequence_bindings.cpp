// k-mer shuffles, genome composition and scannable runs (src/sequence).
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "sequence/genome_composition.hpp"
#include "sequence/kmer_shuffle.hpp"
#include "sequence/random_stream.hpp"
#include "sequence/scannable_runs.hpp"

namespace vok::scanner_binding {
namespace {

using sequence::GenomeComposition;
using sequence::RandomStream;

// The bytes of each item (bytes or str), the objects kept alive by `owners`.
std::vector<std::string_view> text_views(const py::iterable& texts, std::vector<py::object>& owners) {
  std::vector<std::string_view> views;
  for (py::handle item : texts) {
    owners.push_back(py::reinterpret_borrow<py::object>(item));
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(item.ptr())) {
      char* bytes = nullptr;
      if (PyBytes_AsStringAndSize(item.ptr(), &bytes, &size) != 0) throw py::error_already_set();
      data = bytes;
    } else if (PyUnicode_Check(item.ptr())) {
      data = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
      if (data == nullptr) throw py::error_already_set();
    } else {
      throw py::type_error("sequences must be bytes or str");
    }
    views.emplace_back(data, static_cast<std::size_t>(size));
  }
  return views;
}

py::list shuffle_records(const py::iterable& texts, std::size_t k, std::size_t times, std::uint64_t seed,
                         std::uint64_t first_record) {
  std::vector<py::object> owners;
  const std::vector<std::string_view> views = text_views(texts, owners);
  std::vector<std::string> shuffled(views.size() * times);
  {
    py::gil_scoped_release release;
    sequence::KmerShuffler shuffler(k);
    for (std::size_t r = 0; r < views.size(); ++r) {
      for (std::size_t copy = 0; copy < times; ++copy) {
        RandomStream random(seed, first_record + r, copy + 1);
        std::string& out = shuffled[r * times + copy];
        out.assign(views[r]);
        shuffler.shuffle(out, random);
      }
    }
  }
  py::list result;
  for (const std::string& text : shuffled) result.append(py::bytes(text));
  return result;
}

py::tuple scannable_run_lengths(const py::iterable& texts, bool mask) {
  std::vector<py::object> owners;
  const std::vector<std::string_view> views = text_views(texts, owners);
  sequence::RunLengthHistogram histogram;
  {
    py::gil_scoped_release release;
    for (const std::string_view view : views) sequence::add_run_lengths(view, mask, histogram);
  }
  std::vector<std::uint64_t> lengths, counts;
  for (const auto& [length, count] : histogram) {
    lengths.push_back(length);
    counts.push_back(count);
  }
  return py::make_tuple(to_array(lengths), to_array(counts));
}

py::dict draw_regions(GenomeComposition& composition, std::uint64_t length, std::size_t count,
                      RandomStream& random) {
  sequence::DrawnRegions drawn;
  {
    py::gil_scoped_release release;
    drawn = composition.draw(length, count, random);
  }
  py::dict result;
  result["chromosome"] = to_array(drawn.chromosome);
  result["start"] = to_array(drawn.start);
  result["gc"] = to_array(drawn.gc);
  result["acgt"] = to_array(drawn.acgt);
  result["excluded"] = to_array(drawn.excluded);
  return result;
}

}  // namespace

void register_sequence_tools(py::module_& module) {
  py::class_<RandomStream>(module, "RandomStream",
                           "A seeded random stream, the same on every platform.")
      .def(py::init<std::uint64_t, std::uint64_t, std::uint64_t>(), py::arg("seed"), py::arg("a") = 0,
           py::arg("b") = 0)
      .def("below", [](RandomStream& self, std::uint64_t bound) {
        if (bound == 0) throw py::value_error("bound must be positive");
        return self.below(bound);
      }, py::arg("bound"), "A uniform integer in [0, bound).");

  py::class_<GenomeComposition>(module, "GenomeComposition",
                                "G+C and A/C/G/T content of a genome at two bits per base.")
      .def(py::init<>())
      .def("add_chromosome", &GenomeComposition::add_chromosome)
      .def("append", [](GenomeComposition& self, const py::bytes& letters) {
        const std::string_view view = letters;
        py::gil_scoped_release release;
        self.append(view);
      }, py::arg("letters"), "Appends letters to the chromosome added last.")
      .def("__len__", &GenomeComposition::chromosome_count)
      .def("length", &GenomeComposition::length, py::arg("chromosome"))
      .def("gc_count", &GenomeComposition::gc_count, py::arg("chromosome"), py::arg("start"), py::arg("end"))
      .def("acgt_count", &GenomeComposition::acgt_count, py::arg("chromosome"), py::arg("start"),
           py::arg("end"))
      .def("exclude", [](GenomeComposition& self, std::size_t chromosome, std::uint64_t start,
                         std::uint64_t end) {
        if (chromosome >= self.chromosome_count()) throw py::index_error("no such chromosome");
        self.exclude(chromosome, start, end);
      }, py::arg("chromosome"), py::arg("start"), py::arg("end"),
           "An interval that drawn regions must not overlap.")
      .def("draw", &draw_regions, py::arg("length"), py::arg("count"), py::arg("random"),
           "`count` random regions of `length` bases: a dict of arrays chromosome, start, gc, acgt, "
           "excluded (1 where a region overlaps an excluded interval).");

  module.def("shuffle_records", &shuffle_records, py::arg("texts"), py::arg("k"), py::arg("times"),
             py::arg("seed"), py::arg("first_record") = 0,
             "`times` shuffles of each text keeping its k-mer counts, record by record; shuffle j of "
             "record first_record + i draws from the stream (seed, first_record + i, j).");
  module.def("scannable_run_lengths", &scannable_run_lengths, py::arg("texts"), py::arg("mask") = false,
             "(lengths, counts) of the runs of scanned letters in the texts.");
}

}  // namespace vok::scanner_binding
