#include "stream/hit_format.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace vok::stream {
namespace {

template <typename T>
void append_number(std::string& out, T value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

// BED scores run from 0 to 1000.
long bed_score(float mss) {
  const double scaled = std::round(static_cast<double>(mss) * 1000.0);
  if (!(scaled > 0.0)) return 0;
  return scaled > 1000.0 ? 1000 : static_cast<long>(scaled);
}

}  // namespace

std::string hit_header(HitFormat format, bool with_pvalue) {
  if (format != HitFormat::kTsv) return {};
  return with_pvalue ? "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\tpvalue\n"
                     : "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\n";
}

void append_hits(std::string& out, const HitBatch& batch, const MotifSet& motifs, HitFormat format,
                 const HitPValues* pvalues) {
  if (pvalues && pvalues->size() != motifs.size()) {
    throw std::out_of_range("the p-value tables belong to another motif set");
  }
  const bool with_pvalue = pvalues && format != HitFormat::kBed;
  const HitColumns& hits = batch.columns;
  const std::size_t count = hits.size();
  for (std::size_t i = 0; i < count; ++i) {
    const auto sequence = static_cast<std::size_t>(hits.sequence[i]);
    const auto motif = static_cast<std::size_t>(hits.motif[i]);
    if (hits.sequence[i] < 0 || sequence >= batch.sequence_names.size() || hits.motif[i] < 0 ||
        motif >= motifs.size()) {
      throw std::out_of_range("a hit refers to a sequence or motif that does not exist");
    }
    const MotifSpec& spec = motifs.spec(motif);
    out += batch.sequence_names[sequence];
    out += '\t';
    append_number(out, hits.start[i]);
    out += '\t';
    append_number(out, hits.end[i]);
    out += '\t';
    out += spec.id;
    out += '\t';
    const char strand = hits.strand[i] < 0 ? '-' : '+';
    if (format == HitFormat::kTsv) {
      out += spec.name;
      out += '\t';
      out += strand;
      out += '\t';
      append_number(out, hits.css[i]);
      out += '\t';
      append_number(out, hits.mss[i]);
      out += '\t';
      append_number(out, hits.core[i]);
    } else {
      append_number(out, bed_score(hits.mss[i]));
      out += '\t';
      out += strand;
      if (format == HitFormat::kBedPlus) {
        out += '\t';
        append_number(out, hits.css[i]);
        out += '\t';
        append_number(out, hits.mss[i]);
      }
    }
    if (with_pvalue) {
      out += '\t';
      append_number(out, (*pvalues)(hits.motif[i], hits.strand[i], hits.mss[i]));
    }
    out += '\n';
  }
}

}  // namespace vok::stream
