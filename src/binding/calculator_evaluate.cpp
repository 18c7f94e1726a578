// evaluate(): the scan runs on the worker pool while this thread holds the
// interpreter lock and waits, checking for signals so that Ctrl-C stops it.
// The hit objects are made here, on the calling thread, after the workers finish.
#include <vector>

#include "calculator_methods.hpp"
#include "engine/evaluation.hpp"

namespace vok::binding {
namespace {

// Making a hundred million hit objects takes seconds: check for Ctrl-C now and then.
constexpr Py_ssize_t kHitsBetweenSignalChecks = Py_ssize_t{1} << 18;

// The names as str objects, made once per evaluation and shared by the hits.
template <class Named>
std::vector<SharedText> shared_names(const std::vector<Named>& items) {
  std::vector<SharedText> names;
  names.reserve(items.size());
  for (const Named& item : items) names.emplace_back(to_python(item.name));
  return names;
}

// One Vok per hit, in result order; each chunk of hit records is released as
// soon as its objects exist, so the records and the objects are not both held whole.
PyRef hit_objects(const CalculatorState& state, EvaluationHits& hits) {
  VokClass::type();  // created on first use, before any list is built
  const std::vector<SharedText> sequence_names = shared_names(state.sequences);
  const std::vector<SharedText> matrix_names = shared_names(state.matrices);
  PyRef list = check_new(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  Py_ssize_t index = 0;
  for (std::vector<Hit>& chunk : hits.chunks()) {
    for (const Hit& hit : chunk) {
      if (index % kHitsBetweenSignalChecks == kHitsBetweenSignalChecks - 1) check_status(PyErr_CheckSignals());
      HitRecord record{sequence_names[hit.sequence], matrix_names[hit.matrix], hit.pos,
                       state.matrices[hit.matrix].length, hit.css, hit.mss, hit.forward};
      PyList_SET_ITEM(list.get(), index++, wrap<VokClass>(std::move(record)).release());
    }
    std::vector<Hit>().swap(chunk);
  }
  return list;
}

}  // namespace

PyObject* evaluate_calculator(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    auto& instance = receiver<CalculatorClass>(self);
    SharedBorrow borrow(instance.borrow);  // nothing can change the state while the workers read it
    EvaluationHits hits;
    try {
      hits = evaluate(instance.record, [] { return PyErr_CheckSignals() < 0; });
    } catch (const EvaluationInterrupted&) {
      throw_pending_error();  // the signal handler's exception, usually KeyboardInterrupt
    }
    return hit_objects(instance.record, hits).release();
  });
}

}  // namespace vok::binding
