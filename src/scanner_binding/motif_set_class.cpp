#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>

#include "bindings.hpp"
#include "stream/motif_set.hpp"

namespace vok::scanner_binding {
namespace {

// The motifs' data as given, kept for pickling and inspection.
struct MotifSetData {
  std::vector<std::string> ids;          // matrix identifiers
  std::vector<std::string> names;        // factor names
  std::vector<FloatMatrix> matrices;      // (L, 4) float32 arrays
  std::vector<float> css;                // per-motif css thresholds
  std::vector<float> mss;                // per-motif mss thresholds
};

class PyMotifSet {
 public:
  explicit PyMotifSet(MotifSetData data) : data_(std::move(data)) {
    const std::size_t count = data_.ids.size();
    if (data_.names.size() != count || data_.matrices.size() != count ||
        data_.css.size() != count || data_.mss.size() != count) {
      throw py::value_error("ids, names, matrices, css and mss must have one entry per motif");
    }
    std::vector<stream::MotifSpec> specs(count);
    for (std::size_t k = 0; k < count; ++k) {
      const FloatMatrix& matrix = data_.matrices[k];
      if (matrix.ndim() != 2 || matrix.shape(1) != 4) {
        throw py::value_error("motif '" + data_.ids[k] +
                              "': the matrix must have shape (L, 4), columns A, C, G, T");
      }
      stream::MotifSpec& spec = specs[k];
      spec.id = data_.ids[k];
      spec.name = data_.names[k];
      spec.matrix = pwm_from_array(matrix, spec.id);
      spec.thresholds = {data_.css[k], data_.mss[k]};
    }
    set_ = std::make_shared<const stream::MotifSet>(std::move(specs));
  }

  const MotifSetData& data() const { return data_; }
  const std::shared_ptr<const stream::MotifSet>& set() const { return set_; }

 private:
  MotifSetData data_;                             // as given
  std::shared_ptr<const stream::MotifSet> set_;   // the built models
};

py::tuple state_of(const PyMotifSet& motifs) {
  const MotifSetData& data = motifs.data();
  return py::make_tuple(data.ids, data.names, data.matrices, data.css, data.mss);
}

MotifSetData data_from(std::vector<std::string> ids, std::vector<std::string> names,
                       std::vector<FloatMatrix> matrices, std::vector<float> css,
                       std::vector<float> mss) {
  return {std::move(ids), std::move(names), std::move(matrices), std::move(css), std::move(mss)};
}

}  // namespace

PwmMatrix pwm_from_array(const FloatMatrix& values, std::string name) {
  const auto rows = static_cast<std::size_t>(values.shape(0));
  PwmMatrix matrix(std::move(name), rows);
  // Byte copies: an array unpickled from a buffer need not be float-aligned.
  const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t b = 0; b < 4; ++b) {
      std::memcpy(&matrix.at(i, b), bytes + (4 * i + b) * sizeof(float), sizeof(float));
    }
  }
  return matrix;
}


void register_motif_set(py::module_& module) {
  py::class_<PyMotifSet, std::shared_ptr<PyMotifSet>>(module, "MotifSet",
      "The motifs of a scan: models built once from (L, 4) matrices (columns A, C, G, T; "
      "counts or frequencies) and per-motif css / mss thresholds.")
      .def(py::init([](std::vector<std::string> ids, std::vector<std::string> names,
                       std::vector<FloatMatrix> matrices, std::vector<float> css,
                       std::vector<float> mss) {
             return std::make_shared<PyMotifSet>(data_from(std::move(ids), std::move(names),
                                                           std::move(matrices), std::move(css),
                                                           std::move(mss)));
           }),
           py::arg("ids"), py::arg("names"), py::arg("matrices"), py::arg("css"), py::arg("mss"))
      .def("__len__", [](const PyMotifSet& self) { return self.data().ids.size(); })
      .def_property_readonly("max_length",
                             [](const PyMotifSet& self) { return self.set()->max_length(); })
      .def_property_readonly("ids", [](const PyMotifSet& self) { return self.data().ids; })
      .def_property_readonly("names", [](const PyMotifSet& self) { return self.data().names; })
      .def_property_readonly("css", [](const PyMotifSet& self) { return self.data().css; })
      .def_property_readonly("mss", [](const PyMotifSet& self) { return self.data().mss; })
      .def_property_readonly("matrices", [](const PyMotifSet& self) { return self.data().matrices; })
      .def(py::pickle(&state_of, [](const py::tuple& state) {
        if (state.size() != 5) throw py::value_error("MotifSet state must have 5 entries");
        return std::make_shared<PyMotifSet>(data_from(
            state[0].cast<std::vector<std::string>>(), state[1].cast<std::vector<std::string>>(),
            state[2].cast<std::vector<FloatMatrix>>(), state[3].cast<std::vector<float>>(),
            state[4].cast<std::vector<float>>()));
      }));
}

std::shared_ptr<const stream::MotifSet> motif_set_of(const py::object& motifs) {
  return motifs.cast<const PyMotifSet&>().set();
}

}  // namespace vok::scanner_binding
