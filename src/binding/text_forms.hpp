#pragma once
// The text forms (repr and str) of the module's classes. Plain C++.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/calculator_state.hpp"
#include "parser/fasta_reader.hpp"
#include "scoring/pwm_matrix.hpp"
#include "value_records.hpp"

namespace vok::binding {

std::string fasta_text(const FastaRecord& record);          // "Fasta s, ACGT"
std::string profile_text(const ProfileRecord& record);      // "Profile(id: M1, css: 0.75, mss: 1)"
// "Vok (sequence: ..., len: 12)"
std::string hit_text(std::string_view sequence, std::string_view matrix, std::uint64_t pos, bool strand,
                     float css, float mss, std::uint64_t len);
std::string pwm_matrix_text(const PwmMatrix& matrix);       // "PwmMatrix: M1 " + box drawing
std::string calculator_text(const CalculatorState& state);  // "VokCalculator: \n..."

}  // namespace vok::binding
