#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>

#include "bindings.hpp"
#include "stream/hit_batch.hpp"

namespace vok::scanner_binding {
namespace {

using stream::HitBatch;
using stream::HitColumns;

// Record names are bytes from the input; bytes that are not UTF-8 survive the
// round trip as lone surrogates.
py::list names_to_python(const std::vector<std::string>& names) {
  py::list list;
  for (const std::string& name : names) {
    PyObject* text = PyUnicode_DecodeUTF8(name.data(), static_cast<py::ssize_t>(name.size()),
                                          "surrogateescape");
    if (text == nullptr) throw py::error_already_set();
    list.append(py::reinterpret_steal<py::str>(text));
  }
  return list;
}


py::dict columns_of(const HitBatch& batch) {
  const HitColumns& hits = batch.columns;
  py::dict columns;
  columns["sequence"] = to_array(hits.sequence);
  columns["start"] = to_array(hits.start);
  columns["end"] = to_array(hits.end);
  columns["motif"] = to_array(hits.motif);
  columns["strand"] = to_array(hits.strand);
  columns["css"] = to_array(hits.css);
  columns["mss"] = to_array(hits.mss);
  columns["core"] = to_array(hits.core);
  if (hits.site_width > 0) {
    // Fixed-width bytes, NUL-padded: numpy dtype S<width>.
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(hits.size())};
    py::array site(py::dtype("S" + std::to_string(hits.site_width)), shape);
    if (!hits.site.empty()) std::memcpy(site.mutable_data(), hits.site.data(), hits.site.size());
    columns["site"] = site;
  }
  return columns;
}

// The optional site column: a one-dimensional array of dtype S<width>.
void site_from(const py::dict& columns, HitColumns& hits) {
  if (!columns.contains("site")) return;
  py::array array = py::array::ensure(columns["site"]);
  if (!array || array.dtype().kind() != 'S' || array.ndim() != 1 || array.itemsize() < 1) {
    throw py::value_error("column 'site' must be a 1-D array of dtype S<width>");
  }
  hits.site_width = static_cast<std::size_t>(array.itemsize());
  auto contiguous = py::array::ensure(array, py::array::c_style);
  hits.site.resize(static_cast<std::size_t>(contiguous.size()) * hits.site_width);
  if (!hits.site.empty()) std::memcpy(hits.site.data(), contiguous.data(), hits.site.size());
}

// One column of a dict: a one-dimensional array of exactly dtype T.
template <typename T>
std::vector<T> column_from(const py::dict& columns, const char* key) {
  if (!columns.contains(key)) throw py::value_error(std::string("missing column '") + key + "'");
  py::array array = py::array::ensure(columns[key]);
  if (!array) throw py::value_error(std::string("column '") + key + "' is not an array");
  const int same = PyObject_RichCompareBool(array.dtype().ptr(), py::dtype::of<T>().ptr(), Py_EQ);
  if (same < 0) throw py::error_already_set();
  if (same == 0) {
    throw py::value_error(std::string("column '") + key + "' must have dtype " +
                          py::str(py::dtype::of<T>()).cast<std::string>() + ", not " +
                          py::str(array.dtype()).cast<std::string>());
  }
  if (array.ndim() != 1) throw py::value_error(std::string("column '") + key + "' must be 1-D");
  auto typed = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(array);
  // A byte copy: columns unpickled from a buffer need not be aligned for T.
  std::vector<T> values(static_cast<std::size_t>(typed.size()));
  if (!values.empty()) std::memcpy(values.data(), typed.data(), values.size() * sizeof(T));
  return values;
}

HitBatch batch_from(const py::dict& columns, const py::iterable& names) {
  HitBatch batch;
  batch.sequence_names = names_from_python(names);
  HitColumns& hits = batch.columns;
  hits.sequence = column_from<std::int32_t>(columns, "sequence");
  hits.start = column_from<std::int64_t>(columns, "start");
  hits.end = column_from<std::int64_t>(columns, "end");
  hits.motif = column_from<std::int32_t>(columns, "motif");
  hits.strand = column_from<std::int8_t>(columns, "strand");
  hits.css = column_from<float>(columns, "css");
  hits.mss = column_from<float>(columns, "mss");
  hits.core = column_from<std::int64_t>(columns, "core");
  site_from(columns, hits);
  const std::size_t count = hits.start.size();
  for (std::size_t size : {hits.sequence.size(), hits.end.size(), hits.motif.size(),
                           hits.strand.size(), hits.css.size(), hits.mss.size(), hits.core.size()}) {
    if (size != count) throw py::value_error("the columns must have equal lengths");
  }
  if (hits.site_width > 0 && hits.site.size() != count * hits.site_width) {
    throw py::value_error("the columns must have equal lengths");
  }
  const auto sequences = static_cast<std::int64_t>(batch.sequence_names.size());
  for (std::size_t i = 0; i < count; ++i) {
    if (hits.sequence[i] < 0 || hits.sequence[i] >= sequences) {
      throw py::value_error("hit " + std::to_string(i) + ": sequence index " +
                            std::to_string(hits.sequence[i]) + " is not in sequence_names");
    }
    if (hits.motif[i] < 0) throw py::value_error("hit " + std::to_string(i) + ": negative motif index");
    if (hits.strand[i] != 1 && hits.strand[i] != -1) {
      throw py::value_error("hit " + std::to_string(i) + ": strand must be +1 or -1");
    }
    if (hits.start[i] < 0 || hits.end[i] < hits.start[i]) {
      throw py::value_error("hit " + std::to_string(i) + ": window must have 0 <= start <= end");
    }
  }
  return batch;
}

}  // namespace

std::vector<std::string> names_from_python(const py::iterable& names) {
  std::vector<std::string> result;
  for (py::handle name : names) {
    if (!PyUnicode_Check(name.ptr())) throw py::type_error("names must be str");
    py::object bytes = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogateescape"));
    if (!bytes) throw py::error_already_set();
    result.emplace_back(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
  }
  return result;
}

void register_hit_batch(py::module_& module) {
  py::class_<HitBatch>(module, "HitBatch",
                       "Hits as columns, in output order; sequence indexes sequence_names.")
      .def("__len__", &HitBatch::size)
      .def("columns", &columns_of,
           "A dict of numpy arrays: sequence, start, end, motif, strand, css, mss, core, and "
           "site (bytes, dtype S<width>) when the scan kept sites.")
      .def_property_readonly("sequence_names",
                             [](const HitBatch& batch) { return names_to_python(batch.sequence_names); })
      .def_property_readonly("region_names",
                             [](const HitBatch& batch) { return names_to_python(batch.region_names); },
                             "By record: its region's name (empty unless the scan named regions).")
      .def_static("from_columns", &batch_from, py::arg("columns"), py::arg("sequence_names"),
                  "A batch from such a dict (checked: dtypes, equal lengths, index ranges).")
      .def(py::pickle(
          [](const HitBatch& batch) {
            return py::make_tuple(columns_of(batch), names_to_python(batch.sequence_names));
          },
          [](const py::tuple& state) {
            if (state.size() != 2) throw py::value_error("HitBatch state must have 2 entries");
            return batch_from(state[0].cast<py::dict>(), state[1].cast<py::iterable>());
          }));
}

}  // namespace vok::scanner_binding
