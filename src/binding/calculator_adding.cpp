// Adding value objects to a calculator: each takes a deep copy of its record.
#include <cmath>

#include "calculator_methods.hpp"

namespace vok::binding {

PyRef add_pwm(CalculatorState& state, const BoundArguments<1>& arguments) {
  PwmMatrix matrix = convert_argument("pwm", [&] { return copy_record<PwmMatrixClass>(arguments[0]); });
  state.matrices.push_back(std::move(matrix));
  return none();
}

PyRef add_fasta(CalculatorState& state, const BoundArguments<1>& arguments) {
  FastaRecord record = convert_argument("fasta", [&] { return copy_record<FastaClass>(arguments[0]); });
  std::optional<BaseSequence> sequence = to_bases(std::move(record));
  if (!sequence) throw RaisedError(PyErrorKind::kOSError, kVariantNotFound);
  state.sequences.push_back(std::move(*sequence));
  return none();
}

PyRef add_profile(CalculatorState& state, const BoundArguments<1>& arguments) {
  ProfileRecord record = convert_argument("profile", [&] { return copy_record<ProfileClass>(arguments[0]); });
  if (std::isnan(record.css) || std::isnan(record.mss)) throw RaisedError(PyErrorKind::kOSError, "FloatIsNan");
  state.profiles.insert_or_assign(std::move(record.id), Thresholds{record.css, record.mss});
  return none();
}

}  // namespace vok::binding
