#pragma once
// The parts of the _engine module, each registered by its own function.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "stream/block_scan.hpp"
#include "stream/hit_format.hpp"
#include "stream/hit_pvalues.hpp"
#include "stream/motif_set.hpp"
#include "stream/text_buffer.hpp"

namespace vok::scanner_binding {

namespace py = pybind11;

void register_errors(py::module_& module);
void register_motif_set(py::module_& module);
void register_hit_batch(py::module_& module);
void register_fasta_scan(py::module_& module);
void register_hit_writer(py::module_& module);
void register_variant_effects(py::module_& module);
void register_regions(py::module_& module);
void register_sequence_tools(py::module_& module);

// The built motif set behind a Python MotifSet; TypeError for anything else.
std::shared_ptr<const stream::MotifSet> motif_set_of(const py::object& motifs);

// The tables behind a Python HitPValues, or null for None; TypeError for anything else.
std::shared_ptr<const stream::HitPValues> hit_pvalues_of(const py::object& pvalues);

// A float32 array as the binding takes a weight matrix: rows = positions,
// columns A, C, G, T.
using FloatMatrix = py::array_t<float, py::array::c_style | py::array::forcecast>;

// The values of an (L, 4) array, already checked for that shape, as a matrix.
PwmMatrix pwm_from_array(const FloatMatrix& values, std::string name);

// A numpy copy of a vector.
template <typename T>
py::array_t<T> to_array(const std::vector<T>& values) {
  py::array_t<T> array(static_cast<py::ssize_t>(values.size()));
  if (!values.empty()) std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(T));
  return array;
}

// Python str names as bytes (lone surrogates back to the bytes they stand for); TypeError otherwise.
std::vector<std::string> names_from_python(const py::iterable& names);

// Lines formatted by a scan's workers, as HitWriter writes them (HitLines).
struct HitLines {
  stream::TextBuffer text;  // the lines, each ending in '\n'
  std::size_t hits = 0;     // how many
  stream::NameNotes notes;  // what their record names met
};

// "tsv" | "bed" | "bed+"; ValueError otherwise.
stream::HitFormat parse_format(const std::string& text);

// "both" | "forward" | "reversed"; ValueError otherwise.
stream::Strand parse_strand(const std::string& text);

// Checks for a pending signal (Ctrl-C) with the interpreter lock taken for a
// moment; called by threads that released it. A true answer leaves the
// signal's exception set, to be raised when the scan unwinds; it is also true
// once the interpreter exits, without the lock. `stop`, a callable or None,
// is asked too: the work of a command runs off the main thread, where no
// signal is seen, and its job says stop through it. The caller keeps `stop`
// alive while the check is in use.
std::function<bool()> signal_check(py::handle stop = py::none());

// Releases the interpreter lock for its lifetime, as py::gil_scoped_release
// does, but safe at interpreter exit: once the exit has begun, the thread
// (a daemon thread, since the exiting thread is exempt) never takes the lock
// back and sleeps until the process ends.
class GilRelease {
 public:
  GilRelease();
  ~GilRelease();
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;  // the released thread's state
};

// True once the interpreter exits, for every thread but the exiting one.
bool interpreter_exiting();

// Closes the gate of GilRelease and signal_check at exit (an atexit callback).
void register_exit_gate();

}  // namespace vok::scanner_binding

namespace vok {
// Score statistics and per-hit p-values (stats_bindings.cpp).
void bind_stats(pybind11::module_& module);
}  // namespace vok
