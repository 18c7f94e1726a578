// Score statistics for Python: one MatrixStatistics per matrix and background.
// C++ errors reach Python through pybind11's translation only: std::invalid_argument
// (a bad matrix, background or p-value) becomes ValueError.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "bindings.hpp"
#include "scoring/internal_failure.hpp"
#include "scoring/scoring_matrix.hpp"
#include "stats/background.hpp"
#include "stats/hit_pvalue_table.hpp"
#include "stats/matrix_statistics.hpp"
#include "stats/sum_grid.hpp"
#include "stream/hit_pvalues.hpp"
#include "stream/qvalues.hpp"
#include "stream/workers.hpp"

namespace py = pybind11;
using vok::scanner_binding::FloatMatrix;

namespace vok {
namespace {

// A (L, 4) float32 array, rows = positions, columns A, C, G, T -> the scoring model.
ScoringMatrix model_from_array(const FloatMatrix& values, const std::string& name) {
  if (values.ndim() != 2 || values.shape(1) != 4) {
    throw std::invalid_argument("motif '" + name + "': the matrix must have shape (L, 4)");
  }
  PwmMatrix matrix = scanner_binding::pwm_from_array(values, name);
  std::variant<ScoringMatrix, MatrixToShort> built = [&] {
    try {
      return build_scoring_matrix(std::move(matrix), Thresholds{});
    } catch (const InternalFailure& failure) {
      throw std::invalid_argument("motif '" + name + "': " + failure.what());
    }
  }();
  if (std::holds_alternative<MatrixToShort>(built)) {
    throw std::invalid_argument("motif '" + name + "' has " + std::to_string(values.shape(0)) +
                                " positions; p-values need at least 5");
  }
  return std::get<ScoringMatrix>(std::move(built));
}

Background background_from_python(const std::vector<double>& frequencies) {
  try {
    return background_from_frequencies(frequencies);
  } catch (const BackgroundError& error) {
    throw std::invalid_argument(error.what());
  }
}

}  // namespace

namespace scanner_binding {

std::shared_ptr<const stream::HitPValues> hit_pvalues_of(const py::object& pvalues) {
  if (pvalues.is_none()) return nullptr;
  if (!py::isinstance<stream::HitPValues>(pvalues)) {
    throw py::type_error("pvalues must be a HitPValues or None");
  }
  return pvalues.cast<std::shared_ptr<stream::HitPValues>>();
}

}  // namespace scanner_binding

void bind_stats(py::module_& module) {
  py::class_<stream::HitPValues, std::shared_ptr<stream::HitPValues>>(
      module, "HitPValues",
      "Per-hit p-value tables of a MotifSet under a background: P(a random window's mss >= the hit's).")
      .def(py::init([](const py::object& motifs, const std::vector<double>& background, const std::string& strand,
                       long threads, const std::vector<double>& threshold_pvalues) {
             const auto set = scanner_binding::motif_set_of(motifs);
             const Background base = background_from_python(background);
             const bool complement_minus = scanner_binding::parse_strand(strand) == stream::Strand::kBoth;
             if (threads < 0) throw py::value_error("threads must be 0 (the shared pool) or more");
             const auto interrupted = scanner_binding::signal_check();
             scanner_binding::GilRelease unlocked;
             return std::make_shared<stream::HitPValues>(*set, base, complement_minus,
                                                         static_cast<std::size_t>(threads), interrupted,
                                                         threshold_pvalues);
           }),
           py::arg("motifs"), py::arg("background") = std::vector<double>{0.25, 0.25, 0.25, 0.25},
           py::arg("strand") = "both", py::arg("threads") = 0,
           py::arg("threshold_pvalues") = std::vector<double>{},
           "Built on the shared worker pool (threads=0), a private pool of `threads` workers, or the "
           "calling thread (threads=1); Ctrl-C interrupts the build. threshold_pvalues: per motif, the "
           "p-values of its mss threshold under the plus and the minus strand's background (NaN: "
           "unknown), as the threshold search computed them; they are computed otherwise.")
      .def("__len__", &stream::HitPValues::size)
      .def(
          "lookup",
          [](const stream::HitPValues& tables, const stream::HitBatch& batch) {
            std::vector<float> values;
            {
              scanner_binding::GilRelease unlocked;
              tables.fill(batch.columns, values);
            }
            py::array_t<float> out(static_cast<py::ssize_t>(values.size()));
            std::copy(values.begin(), values.end(), out.mutable_data());
            return out;
          },
          py::arg("batch"), "The p-value of every hit of a batch, as float32.");


  module.def("release_grid_buffers", &release_grid_buffers,
             "Frees the working memory that score statistics keep between matrices (call after a batch).");

  module.def(
      "hit_qvalues",
      [](const py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>& motif,
         const py::array_t<float, py::array::c_style | py::array::forcecast>& pvalue,
         const py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>& windows) {
        if (motif.size() != pvalue.size()) throw py::value_error("one p-value per hit");
        std::vector<float> values;
        {
          scanner_binding::GilRelease unlocked;
          values = stream::hit_qvalues({motif.data(), static_cast<std::size_t>(motif.size())},
                                       {pvalue.data(), static_cast<std::size_t>(pvalue.size())},
                                       {windows.data(), static_cast<std::size_t>(windows.size())});
        }
        py::array_t<float> out(static_cast<py::ssize_t>(values.size()));
        std::copy(values.begin(), values.end(), out.mutable_data());
        return out;
      },
      py::arg("motif"), py::arg("pvalue"), py::arg("windows"),
      "Benjamini-Hochberg q-values of hits per motif (index into windows, the windows scanned per "
      "motif), the running minimum over the motif's hits, as float32.");

  py::class_<MatrixStatistics>(module, "MatrixStatistics",
                               "Score distributions of one matrix under a background (order 0).")
      .def(py::init([](const FloatMatrix& matrix, const std::vector<double>& background, const std::string& name) {
             const ScoringMatrix model = model_from_array(matrix, name);
             const Background base = background_from_python(background);
             scanner_binding::GilRelease unlocked;
             return MatrixStatistics(model, base);
           }),
           py::arg("matrix"), py::arg("background") = std::vector<double>{0.25, 0.25, 0.25, 0.25},
           py::arg("name") = "")
      .def_property_readonly("background",
                             [](const MatrixStatistics& s) { return s.background().probability; })
      .def_property_readonly("length", [](const MatrixStatistics& s) { return s.window().length(); })
      .def_property_readonly("core_start", [](const MatrixStatistics& s) { return s.window().core_start(); })
      .def("css_tail", &MatrixStatistics::css_tail, py::arg("css"),
           "Exact P(css >= css) of a random core word.")
      .def(
          "css_distribution",
          [](const MatrixStatistics& s) {
            const auto levels = s.css_distribution();
            py::array_t<float> css(static_cast<py::ssize_t>(levels.size()));
            py::array_t<double> probability(static_cast<py::ssize_t>(levels.size()));
            auto c = css.mutable_unchecked<1>();
            auto p = probability.mutable_unchecked<1>();
            for (std::size_t k = 0; k < levels.size(); ++k) {
              c(k) = levels[k].css;
              p(k) = levels[k].probability;
            }
            return py::make_tuple(css, probability);
          },
          "(css values, probabilities) of the css values that occur, highest first.")
      .def(
          "tail_bounds",
          [](const MatrixStatistics& s, float css, float mss) {
            const TailBounds bounds = s.tail_bounds(css, mss);
            return py::make_tuple(bounds.lower, bounds.upper);
          },
          py::arg("css"), py::arg("mss"), "(lower, upper) bounds on P(css >= css and mss >= mss).")
      .def("pvalue", &MatrixStatistics::pvalue, py::arg("css"), py::arg("mss"),
           py::call_guard<scanner_binding::GilRelease>(),
           "Upper bound on P(css >= css and mss >= mss) of a random window, within 1% of the exact value "
           "unless pvalue_bounds() says otherwise.")
      .def(
          "pvalue_bounds",
          [](const MatrixStatistics& s, float css, float mss) {
            TailBounds bounds{};
            {
              scanner_binding::GilRelease unlocked;
              bounds = s.pvalue_bounds(css, mss);
            }
            return py::make_tuple(bounds.lower, bounds.upper);
          },
          py::arg("css"), py::arg("mss"),
          "(lower, upper) bounds behind pvalue(): within 0.25% of each other unless every refinement ran "
          "out of budget.")
      .def("threshold_for_pvalue", &MatrixStatistics::threshold_for_pvalue, py::arg("p"), py::arg("css") = 0.0f,
           py::call_guard<scanner_binding::GilRelease>(),
           "The smallest mss threshold whose rate (with css >= css) is at most p.")
      .def("css_threshold_keeping", &MatrixStatistics::css_threshold_keeping, py::arg("mss"),
           "The highest css threshold that rejects no window reaching the mss threshold.")
      .def(
          "hit_pvalues",
          [](const MatrixStatistics& s, const py::array_t<float, py::array::c_style | py::array::forcecast>& mss) {
            py::array_t<float> out(mss.size());
            const float* in = mss.data();
            float* result = out.mutable_data();
            const auto count = static_cast<std::size_t>(mss.size());
            scanner_binding::GilRelease unlocked;
            float floor = 1.0f;  // the table covers the lowest positive score asked for
            for (std::size_t k = 0; k < count; ++k) {
              if (in[k] > 0.0f && in[k] < floor) floor = in[k];
            }
            const HitPValueTable table(s.window(), s.background(), floor);
            for (std::size_t k = 0; k < count; ++k) result[k] = table(in[k]);
            return out;
          },
          py::arg("mss"),
          "Per-hit p-values: P(a random window's mss >= each value), within 1% and never below.");
  module.def(
      "worker_threads",
      [](long threads) {
        if (threads < 0) throw py::value_error("threads must be 0 (the shared pool) or more");
        return stream::worker_threads(static_cast<std::size_t>(threads));
      },
      py::arg("threads") = 0, "The workers a run with `threads` gets (0: the shared pool's size).");
}

}  // namespace vok
