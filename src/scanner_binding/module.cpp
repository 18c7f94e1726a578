#include "bindings.hpp"

PYBIND11_MODULE(_engine, module) {
  using namespace vok::scanner_binding;
  module.doc() = "Streaming scan engine of vokscan: FASTA in, hits as columns or text out.";
  register_errors(module);
  register_motif_set(module);
  register_hit_batch(module);
  register_fasta_scan(module);
  register_hit_writer(module);
  register_variant_effects(module);
  register_regions(module);
  register_sequence_tools(module);
  vok::bind_stats(module);
}
