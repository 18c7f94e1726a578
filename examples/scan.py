#!/usr/bin/env python3
"""Scan DNA sequences for transcription-factor binding sites with vok.

With no arguments it scans the bundled lambda phage genome with the bundled
JASPAR CORE vertebrate matrices and cut-offs:

    python examples/scan.py
    python examples/scan.py -m my.transfac -s genome.fa --no-cutoffs --css 0.95

It prints a summary, the first hits as a tab-separated table (sequence,
matrix, pos, strand, css, mss, len) and the number of hits per matrix.
"""

import argparse
import math
import os
import sys
import time
from collections import Counter
from pathlib import Path

import vok

DATA = Path(__file__).resolve().parent / "data"
COLUMNS = ("sequence", "matrix", "pos", "strand", "css", "mss", "len")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument(
        "-m", "--matrices", type=Path, default=DATA / "jaspar_core_vertebrates.transfac",
        help="TRANSFAC matrix file (default: bundled JASPAR matrices)",
    )
    parser.add_argument(
        "-s", "--sequences", type=Path, default=DATA / "lambda_virus.fa",
        help="FASTA file, upper-case A/C/G/T only (default: bundled lambda genome)",
    )
    cutoffs = parser.add_mutually_exclusive_group()
    cutoffs.add_argument(
        "-c", "--cutoffs", type=Path, default=DATA / "cutoffs.prf",
        help="profile file of per-matrix cut-offs (default: bundled cutoffs.prf)",
    )
    cutoffs.add_argument(
        "--no-cutoffs", action="store_true", help="use the default thresholds for every matrix"
    )
    parser.add_argument("--css", type=float, default=0.9, help="default css threshold (0.9)")
    parser.add_argument("--mss", type=float, default=0.85, help="default mss threshold (0.85)")
    parser.add_argument(
        "-n", "--show", type=int, default=20, help="number of hits to print (20; 0: none)"
    )
    arguments = parser.parse_args(argv)
    if math.isnan(arguments.css) or math.isnan(arguments.mss):
        parser.error("a threshold must be a number, not NaN")
    return arguments


def add_file(method, path):
    """Run one file method of the calculator; a failure ends the script."""
    try:
        method(str(path))
    except OSError as error:
        sys.exit(f"scan.py: {path}: {error}")


def load(calculator, arguments):
    """Fill the calculator from the files; returns (matrices, cut-off map).

    The matrices and cut-offs are also parsed on their own, only to name every
    matrix and its thresholds in the summary.
    """
    add_file(calculator.add_from_transfac_file, arguments.matrices)
    add_file(calculator.add_from_fasta_file, arguments.sequences)
    matrices = vok.parse_transfac(arguments.matrices.read_text(encoding="utf-8"))
    cutoffs = {}
    if not arguments.no_cutoffs:
        add_file(calculator.add_from_profile_file, arguments.cutoffs)
        profile_text = arguments.cutoffs.read_text(encoding="utf-8")
        cutoffs = {p.id: (p.css, p.mss) for p in vok.parse_profile(profile_text)}
    calculator.default_css_threshold = arguments.css
    calculator.default_mss_threshold = arguments.mss
    return matrices, cutoffs


def hit_row(hit):
    strand = "+" if hit.strand else "-"
    return (hit.sequence, hit.matrix, str(hit.pos), strand, f"{hit.css:.4f}", f"{hit.mss:.4f}",
            str(hit.len))


def print_hits(hits, show):
    print("\t".join(COLUMNS))
    for hit in hits[:show]:
        print("\t".join(hit_row(hit)))
    if len(hits) > show:
        print(f"... ({len(hits) - show} more)")


def print_counts(hits, matrices, cutoffs, calculator):
    """Hits per matrix, with the thresholds that applied to it."""
    forward = Counter(hit.matrix for hit in hits if hit.strand)
    reverse = Counter(hit.matrix for hit in hits if not hit.strand)
    defaults = (calculator.default_css_threshold, calculator.default_mss_threshold)
    print("\t".join(("matrix", "len", "css_min", "mss_min", "from", "hits", "forward", "reverse")))
    for matrix in matrices:
        name = matrix.name
        css, mss = cutoffs.get(name, defaults)
        source = "cutoffs" if name in cutoffs else "default"
        count = forward[name] + reverse[name]
        print(f"{name}\t{len(matrix.matrix)}\t{css:g}\t{mss:g}\t{source}\t{count}\t"
              f"{forward[name]}\t{reverse[name]}")


def main(argv=None):
    arguments = parse_arguments(argv)
    calculator = vok.VokCalculator()
    matrices, cutoffs = load(calculator, arguments)

    started = time.perf_counter()
    hits = calculator.evaluate()
    seconds = time.perf_counter() - started

    with_hits = len({hit.sequence for hit in hits})
    print(f"{len(hits)} hits of {len(matrices)} matrices in {arguments.sequences.name} "
          f"({with_hits} sequence(s) with hits); {len(cutoffs)} matrix cut-off(s), defaults "
          f"css >= {arguments.css:g}, mss >= {arguments.mss:g}; evaluate took {seconds:.3f} s")
    print()
    print_hits(hits, max(arguments.show, 0))
    print()
    print_counts(hits, matrices, cutoffs, calculator)


if __name__ == "__main__":
    try:
        main()
    except BrokenPipeError:  # output cut short by a pager or `head`
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
