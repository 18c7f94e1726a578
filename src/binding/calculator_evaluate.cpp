// evaluate(): the scan runs on the worker pool while this thread holds the
// interpreter lock and waits, checking for signals so that Ctrl-C stops it.
// The hit objects are made here, on the calling thread, after the workers finish.
#include "calculator_methods.hpp"
#include "engine/evaluation.hpp"

namespace vok::binding {
namespace {

PyRef hit_objects(const CalculatorState& state, const std::vector<Hit>& hits) {
  VokClass::type();  // created on first use, before any list is built
  PyRef list = check_new(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  Py_ssize_t index = 0;
  for (const Hit& hit : hits) {
    const PwmMatrix& matrix = state.matrices[hit.matrix];
    HitRecord record{state.sequences[hit.sequence].name, matrix.name, hit.pos, hit.forward,
                     hit.css, hit.mss, matrix.length};
    PyList_SET_ITEM(list.get(), index++, wrap<VokClass>(std::move(record)).release());
  }
  return list;
}

}  // namespace

PyObject* evaluate_calculator(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    auto& instance = receiver<CalculatorClass>(self);
    SharedBorrow borrow(instance.borrow);  // nothing can change the state while the workers read it
    std::vector<Hit> hits;
    try {
      hits = evaluate(instance.record, [] { return PyErr_CheckSignals() < 0; });
    } catch (const EvaluationInterrupted&) {
      throw_pending_error();  // the signal handler's exception, usually KeyboardInterrupt
    }
    return hit_objects(instance.record, hits).release();
  });
}

}  // namespace vok::binding
