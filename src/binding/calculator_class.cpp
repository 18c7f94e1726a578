// The VokCalculator class: matrices, sequences, cut-offs and two default
// thresholds, and the methods that fill and evaluate them.
#include <cmath>

#include "calculator_methods.hpp"

namespace vok::binding {
namespace {

constexpr const char* kPwm[] = {"pwm"};
constexpr const char* kFasta[] = {"fasta"};
constexpr const char* kProfile[] = {"profile"};
constexpr const char* kPath[] = {"path"};
constexpr Signature kAddPwm{"VokCalculator.add_pwm()", kPwm};
constexpr Signature kAddFasta{"VokCalculator.add_fasta()", kFasta};
constexpr Signature kAddProfile{"VokCalculator.add_profile()", kProfile};
constexpr Signature kAddTransfacFile{"VokCalculator.add_from_transfac_file()", kPath};
constexpr Signature kAddFastaFile{"VokCalculator.add_from_fasta_file()", kPath};
constexpr Signature kAddProfileFile{"VokCalculator.add_from_profile_file()", kPath};

// The constructor ignores whatever it is given.
PyObject* new_calculator(PyTypeObject*, PyObject*, PyObject*) noexcept {
  return guarded([] { return wrap<CalculatorClass>(CalculatorState{}).release(); });
}

template <float Thresholds::*Threshold>
PyObject* get_threshold(PyObject* self, void*) noexcept {
  return guarded([&] {
    auto& instance = instance_of<CalculatorClass>(self);
    SharedBorrow borrow(instance.borrow);
    return to_python(instance.record.defaults.*Threshold).release();
  });
}

template <float Thresholds::*Threshold>
int set_threshold(PyObject* self, PyObject* value, void*) noexcept {
  return guarded_status([&] {
    auto& instance = instance_of<CalculatorClass>(self);
    ExclusiveBorrow borrow(instance.borrow);
    if (value == nullptr) throw RaisedError(PyErrorKind::kAttributeError, "can't delete attribute");
    const float threshold = to_f32(value);
    if (std::isnan(threshold)) throw RaisedError(PyErrorKind::kOSError, "FloatIsNan");
    instance.record.defaults.*Threshold = threshold;
  });
}

template <const Signature& kSignature, auto Body>
PyMethodDef adding_method(const char* name) {
  return {name, as_method(&method<CalculatorClass, Access::kExclusive, kSignature, 1, Body>),
          METH_FASTCALL | METH_KEYWORDS, nullptr};
}

}  // namespace

PyTypeObject* CalculatorClass::type() {
  static PyMethodDef methods[] = {
      adding_method<kAddPwm, add_pwm>("add_pwm"),
      adding_method<kAddFasta, add_fasta>("add_fasta"),
      adding_method<kAddProfile, add_profile>("add_profile"),
      adding_method<kAddTransfacFile, add_from_transfac_file>("add_from_transfac_file"),
      adding_method<kAddFastaFile, add_from_fasta_file>("add_from_fasta_file"),
      adding_method<kAddProfileFile, add_from_profile_file>("add_from_profile_file"),
      {"evaluate", as_method(&evaluate_calculator), METH_NOARGS, nullptr},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyGetSetDef attributes[] = {
      {"default_css_threshold", &get_threshold<&Thresholds::css>, &set_threshold<&Thresholds::css>, nullptr, nullptr},
      {"default_mss_threshold", &get_threshold<&Thresholds::mss>, &set_threshold<&Thresholds::mss>, nullptr, nullptr},
      kGetSetEnd,
  };
  static PyType_Slot slots[] = {
      dealloc_slot<CalculatorClass>(), repr_slot<CalculatorClass>(),
      {Py_tp_new, reinterpret_cast<void*>(&new_calculator)},
      {Py_tp_methods, methods}, {Py_tp_getset, attributes}, {0, nullptr},
  };
  // Created on first use; a failed creation is tried again by the next use.
  static PyTypeObject* const type = create_class_type<CalculatorClass>(slots);
  return type;
}

}  // namespace vok::binding
