#include "text_forms.hpp"

#include <algorithm>
#include <vector>

#include "text/float_text.hpp"

namespace vok::binding {
namespace {

void append_profile(std::string& out, const std::string& id, float css, float mss) {
  out += "Profile(id: ";
  out += id;
  out += ", css: ";
  append_float_text(out, css);
  out += ", mss: ";
  append_float_text(out, mss);
  out += ")";
}

// Rows drawn between box corners; every value right-aligned to the widest
// value of the whole matrix.
void append_matrix_block(std::string& out, const PwmMatrix& matrix) {
  if (matrix.length == 0) {
    out += "[ ]";
    return;
  }
  std::vector<std::string> cells(matrix.length * 4);
  std::size_t width = 0;
  for (std::size_t i = 0; i < matrix.length; ++i) {
    for (std::size_t b = 0; b < 4; ++b) {
      std::string& cell = cells[i * 4 + b];
      cell = float_text(matrix.at(i, b));
      width = std::max(width, cell.size());
    }
  }
  const std::string inner(4 * (width + 1) - 1 + 2, ' ');
  out += "\n  ┌" + inner + "┐\n";
  for (std::size_t i = 0; i < matrix.length; ++i) {
    out += "  │";
    for (std::size_t b = 0; b < 4; ++b) {
      const std::string& cell = cells[i * 4 + b];
      out += ' ';
      out.append(width - cell.size(), ' ');
      out += cell;
    }
    out += " │\n";
  }
  out += "  └" + inner + "┘\n\n";
}

void append_pwm_matrix(std::string& out, const PwmMatrix& matrix) {
  out += "PwmMatrix: ";
  out += matrix.name;
  out += ' ';
  append_matrix_block(out, matrix);
}

}  // namespace

std::string fasta_text(const FastaRecord& record) { return "Fasta " + record.name + ", " + record.seq; }

std::string profile_text(const ProfileRecord& record) {
  std::string out;
  append_profile(out, record.id, record.css, record.mss);
  return out;
}

std::string hit_text(std::string_view sequence, std::string_view matrix, std::uint64_t pos, bool strand,
                     float css, float mss, std::uint64_t len) {
  std::string out = "Vok (sequence: ";
  out += sequence;
  out += ", matrix: ";
  out += matrix;
  out += ", pos: " + std::to_string(pos) + ", strand: " + (strand ? "+" : "-") + ", css: ";
  append_float_text(out, css);
  out += ", mss: ";
  append_float_text(out, mss);
  out += ", len: " + std::to_string(len) + ")";
  return out;
}

std::string pwm_matrix_text(const PwmMatrix& matrix) {
  std::string out;
  append_pwm_matrix(out, matrix);
  return out;
}

std::string calculator_text(const CalculatorState& state) {
  std::string out = "VokCalculator: \n";
  for (const PwmMatrix& matrix : state.matrices) append_pwm_matrix(out, matrix);
  out += ' ';
  for (const BaseSequence& sequence : state.sequences) {
    out += "Fasta ";
    out += sequence.name;
    out += ' ';
    for (BaseCode base : sequence.bases) out += kBaseLetters[base];
    out += '\n';
  }
  out += ' ';
  for (const auto& [id, cutoffs] : state.profiles) {
    append_profile(out, id, cutoffs.css, cutoffs.mss);
    out += '\n';
  }
  out += " default_css_threshold: ";
  append_float_text(out, state.defaults.css);
  out += ", default_mss_threshold: ";
  append_float_text(out, state.defaults.mss);
  return out;
}

}  // namespace vok::binding
