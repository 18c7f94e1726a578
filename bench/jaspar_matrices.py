#!/usr/bin/env python3
"""Write the JASPAR 2024 CORE vertebrate matrices (879) as a TRANSFAC file.

The benchmarks scan with the real collection that users scan with. The
matrices come from the database bundled by pyjaspar (`pip install pyjaspar`);
rows are written as position and four counts, without the consensus letter,
so that both vok's own reader and Bio.motifs read the file:

    python bench/jaspar_matrices.py [OUTPUT] [FAMILIES]   (default: build/jaspar2024_core_vertebrates.transfac)

FAMILIES, when given, receives a TSV of matrix id, TF family and TF class.

JASPAR data are CC BY 4.0 (Rauluseviciute et al., Nucleic Acids Res. 2024).
"""
import sys
from pathlib import Path

BASES = "ACGT"
DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "build" / "jaspar2024_core_vertebrates.transfac"


def core_vertebrate_motifs():
    from pyjaspar import jaspardb

    database = jaspardb(release="JASPAR2024")
    motifs = database.fetch_motifs(collection="CORE", tax_group=["vertebrates"], all_versions=False)
    return sorted(motifs, key=lambda motif: motif.matrix_id)


def transfac_text(motifs):
    lines = []
    for motif in motifs:
        lines += [f"AC  {motif.matrix_id}", "XX", f"ID  {motif.matrix_id}.{motif.name}", "XX",
                  "P0      A      C      G      T"]
        for position in range(motif.length):
            counts = " ".join(repr(float(motif.counts[base][position])) for base in BASES)
            lines.append(f"{position + 1:02d} {counts}")
        lines += ["XX", "//"]
    return "\n".join(lines) + "\n"


def main():
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_OUTPUT
    motifs = core_vertebrate_motifs()
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(transfac_text(motifs))
    print(f"wrote {len(motifs)} matrices to {output}")
    if len(sys.argv) > 2:
        rows = ["matrix_id\tfamily\tclass"] + [
            f"{m.matrix_id}\t{'::'.join(m.tf_family or [])}\t{'::'.join(m.tf_class or [])}" for m in motifs]
        Path(sys.argv[2]).write_text("\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
