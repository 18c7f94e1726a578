#include "variants/effect_format.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace vok::variants {
namespace {

constexpr const char* kEffectNames[] = {"none", "gain", "loss", "both"};

void put_float(std::string& out, float value) {
  if (std::isnan(value)) return;  // a missing score is an empty field
  char buffer[32];
  out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// A name as a field: tabs, line breaks and other control characters would
// add fields or lines, so they are written as '_'.
void put_name(std::string& out, const std::string& name) {
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte < 0x20 || byte == 0x7f ? '_' : c;
  }
}

void put_allele(std::string& out, const AlleleColumns& allele, std::size_t row) {
  out += '\t';
  if (allele.strand[row] == 0) {
    out += "\t\t\t\t";
    return;
  }
  out += allele.strand[row] > 0 ? '+' : '-';
  out += '\t';
  char buffer[24];
  out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, allele.offset[row]).ptr);
  out += '\t';
  put_float(out, allele.css[row]);
  out += '\t';
  put_float(out, allele.mss[row]);
  out += '\t';
  put_float(out, allele.pvalue[row]);
}

}  // namespace

std::string effect_header() {
  return "chrom\tpos\tid\tref\talt\tmotif_id\tmotif_name\tref_strand\tref_offset\tref_css\tref_mss\t"
         "ref_pvalue\talt_strand\talt_offset\talt_css\talt_mss\talt_pvalue\tdelta_mss\t"
         "log10_pvalue_ratio\teffect\n";
}

void append_effect_lines(std::string& out, const EffectRows& rows, const std::vector<std::string>& labels,
                         const stream::MotifSet& motifs) {
  for (std::size_t row = 0; row < rows.size(); ++row) {
    if (rows.variant[row] >= labels.size() || rows.motif[row] >= motifs.size()) {
      throw std::out_of_range("an effect row refers to a variant or motif that does not exist");
    }
    const stream::MotifSpec& motif = motifs.spec(rows.motif[row]);
    out += labels[rows.variant[row]];
    out += '\t';
    put_name(out, motif.id);
    out += '\t';
    put_name(out, motif.name);
    put_allele(out, rows.ref, row);
    put_allele(out, rows.alt, row);
    out += '\t';
    put_float(out, rows.delta_mss[row]);
    out += '\t';
    put_float(out, rows.log10_ratio[row]);
    out += '\t';
    out += kEffectNames[static_cast<int>(rows.effect[row]) & 3];
    out += '\n';
  }
}

}  // namespace vok::variants
