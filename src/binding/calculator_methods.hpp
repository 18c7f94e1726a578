#pragma once
// The VokCalculator methods, grouped by what they do; the class file lists them.
#include "classes.hpp"

namespace vok::binding {

// Adding value objects: add_pwm, add_fasta, add_profile.
PyRef add_pwm(CalculatorState& state, const BoundArguments<1>& arguments);
PyRef add_fasta(CalculatorState& state, const BoundArguments<1>& arguments);
PyRef add_profile(CalculatorState& state, const BoundArguments<1>& arguments);

// Loading files, all entries or none.
PyRef add_from_transfac_file(CalculatorState& state, const BoundArguments<1>& arguments);
PyRef add_from_fasta_file(CalculatorState& state, const BoundArguments<1>& arguments);
PyRef add_from_profile_file(CalculatorState& state, const BoundArguments<1>& arguments);

// evaluate(): the scan of every sequence with every matrix.
PyObject* evaluate_calculator(PyObject* self, PyObject* unused) noexcept;

}  // namespace vok::binding
