#!/usr/bin/env python3
"""Remake the bundled example matrices, their cut-offs and the test reference.

A development-time tool, not needed to build, run or test vok:

    python -m pip install pyjaspar==4.0.0 biopython==1.88
    python tools/make_example_matrices.py

It takes a few well-known vertebrate matrices from the JASPAR CORE collection
bundled with pyjaspar and writes, relative to the repository root:

  examples/data/jaspar_core_vertebrates.transfac
      the matrices as written by Biopython's TRANSFAC writer, minus the
      consensus letter that the writer appends to every matrix row (see
      drop_consensus_column; --keep-consensus writes the text unchanged)
  examples/data/cutoffs.prf
      per-matrix css/mss cut-offs for some of the matrices
  tests/data/example_matrices.json
      the counts as Biopython holds them in memory, one [A, C, G, T] list per
      position, for the tests to compare the module's reading against
"""

import argparse
import io
import json
import re
import sys
from pathlib import Path

import Bio
import pyjaspar
from Bio import motifs
from Bio.motifs import transfac
from pyjaspar import jaspardb

RELEASE = "JASPAR2024"  # latest release of pyjaspar 4.0.0 with a published paper
MATRIX_IDS = [  # JASPAR CORE vertebrates, one well-known factor each
    "MA0139.2",  # CTCF
    "MA0079.5",  # SP1
    "MA0108.3",  # TBP
    "MA0035.5",  # GATA1
    "MA0105.4",  # NFKB1
    "MA0138.3",  # REST
    "MA0106.3",  # TP53
    "MA0148.5",  # FOXA1
]
CUTOFFS = {  # matrix id -> (css cut-off, mss cut-off) for cutoffs.prf
    "MA0139.2": (0.90, 0.85),
    "MA0138.3": (0.85, 0.80),
    "MA0106.3": (0.85, 0.80),
    "MA0108.3": (0.95, 0.90),
}
BASES = "ACGT"

ROOT = Path(__file__).resolve().parent.parent
TRANSFAC_PATH = ROOT / "examples" / "data" / "jaspar_core_vertebrates.transfac"
CUTOFFS_PATH = ROOT / "examples" / "data" / "cutoffs.prf"
REFERENCE_PATH = ROOT / "tests" / "data" / "example_matrices.json"

# A matrix row as Biopython writes it: position, four counts, consensus letter.
ROW_WITH_CONSENSUS = re.compile(r"^(\d+(?: +[-+0-9.eE]+){4}) +[A-Za-z]$")


def identifier(motif):
    """The ID line text of a matrix: JASPAR matrix id, a dot, factor name."""
    return f"{motif.matrix_id}.{motif.name}"


def fetch_motifs():
    """The chosen JASPAR motifs, in MATRIX_IDS order, checked for kind."""
    database = jaspardb(release=RELEASE)
    fetched = []
    for matrix_id in MATRIX_IDS:
        motif = database.fetch_motif_by_id(matrix_id)
        if motif is None or motif.matrix_id != matrix_id:
            sys.exit(f"{matrix_id} not found in {RELEASE}")
        if motif.collection != "CORE" or motif.tax_group != "vertebrates":
            sys.exit(f"{matrix_id} is not a CORE vertebrate matrix")
        fetched.append(motif)
    return fetched


def as_transfac_record(jaspar_motifs):
    """Biopython TRANSFAC motifs carrying the JASPAR counts and names."""
    record = transfac.Record()
    record.version = f"{RELEASE} CORE vertebrates, via pyjaspar {pyjaspar.__version__}"
    for motif in jaspar_motifs:
        counts = {base: list(motif.counts[base]) for base in BASES}
        converted = transfac.Motif(alphabet=BASES, counts=counts)
        converted["AC"] = motif.matrix_id
        converted["ID"] = identifier(motif)
        converted["NA"] = motif.name
        converted["DE"] = f"{motif.name}; {', '.join(motif.tf_class)}"
        record.append(converted)
    return record


def drop_consensus_column(text, expected_rows):
    """Remove the letter after the four counts of each row; values untouched.

    vok's reader takes the four numbers of a row and then needs the line end;
    anything else after the numbers ends the matrix at that row.
    """
    lines = text.split("\n")
    stripped = 0
    for index, line in enumerate(lines):
        match = ROW_WITH_CONSENSUS.match(line)
        if match:
            lines[index] = match.group(1)
            stripped += 1
    if stripped != expected_rows:
        sys.exit(f"expected {expected_rows} matrix rows, found {stripped}")
    return "\n".join(lines)


def check_round_trip(text, jaspar_motifs):
    """Biopython reads the written text back to the same ids and counts."""
    # Not strict: the strict reader wants two blanks somewhere in each row.
    read_back = motifs.parse(io.StringIO(text), "transfac", strict=False)
    if len(read_back) != len(jaspar_motifs):
        sys.exit("round trip: wrong number of matrices")
    for written, original in zip(read_back, jaspar_motifs):
        same_counts = all(
            list(written.counts[base]) == list(original.counts[base]) for base in BASES
        )
        if written["ID"] != identifier(original) or not same_counts:
            sys.exit(f"round trip: {identifier(original)} differs")


def reference_data(jaspar_motifs):
    """The in-memory view of the counts: per position [A, C, G, T]."""
    return {
        "release": RELEASE,
        "pyjaspar": pyjaspar.__version__,
        "biopython": Bio.__version__,
        "matrices": [
            {
                "id": identifier(motif),
                "rows": [
                    [float(motif.counts[base][position]) for base in BASES]
                    for position in range(motif.length)
                ],
            }
            for motif in jaspar_motifs
        ],
    }


def reference_json(data):
    """JSON text with one matrix row per line, to keep the file readable."""
    text = json.dumps(data, indent=1)
    # Fold each innermost list (a row of four numbers) onto one line.
    return re.sub(r"\[\s+([^\[\]]*?)\s+\]", lambda m: "[" + " ".join(m.group(1).split()) + "]", text) + "\n"


def cutoff_lines(jaspar_motifs):
    """Profile lines: flag, css, mss, accession (letters/digits), identifier."""
    lines = []
    for motif in jaspar_motifs:
        if motif.matrix_id in CUTOFFS:
            css, mss = CUTOFFS[motif.matrix_id]
            accession = motif.matrix_id.split(".")[0]
            lines.append(f"1 {css:.2f} {mss:.2f} {accession} {identifier(motif)}\n")
    return "".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument(
        "--keep-consensus",
        action="store_true",
        help="write Biopython's TRANSFAC text unchanged, consensus letters included",
    )
    arguments = parser.parse_args()

    jaspar_motifs = fetch_motifs()
    text = motifs.write(as_transfac_record(jaspar_motifs), "transfac")
    if not arguments.keep_consensus:
        text = drop_consensus_column(text, sum(m.length for m in jaspar_motifs))
    check_round_trip(text, jaspar_motifs)

    TRANSFAC_PATH.write_text(text, encoding="utf-8")
    CUTOFFS_PATH.write_text(cutoff_lines(jaspar_motifs), encoding="utf-8")
    REFERENCE_PATH.parent.mkdir(parents=True, exist_ok=True)
    REFERENCE_PATH.write_text(reference_json(reference_data(jaspar_motifs)), encoding="utf-8")
    for path in (TRANSFAC_PATH, CUTOFFS_PATH, REFERENCE_PATH):
        print(f"wrote {path.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
