#pragma once
// Effect rows as TSV lines.
#include <string>
#include <vector>

#include "stream/motif_set.hpp"
#include "variants/effect_scan.hpp"

namespace vok::variants {

// The header line, line end included.
std::string effect_header();

// Appends one line per row: the variant's label (its chrom, pos, id, ref and
// alt fields, tab-separated) from `labels` (by the row's variant index), the
// motif's id and name (control characters written as '_'), then each
// allele's strand, offset, css, mss and p-value, delta_mss,
// log10_pvalue_ratio and the effect. Fields of an allele without a window
// are empty; scores are the shortest text that reads back as the same 32-bit
// float. std::out_of_range when a row's variant has no label or its motif is
// not in `motifs`.
void append_effect_lines(std::string& out, const EffectRows& rows, const std::vector<std::string>& labels,
                         const stream::MotifSet& motifs);

}  // namespace vok::variants
