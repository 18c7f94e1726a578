#!/usr/bin/env python3
"""Variant effects with vok against what users would do with MOODS and FIMO
(pymemesuite): the REF and ALT windows of every variant (its alleles and the
longest matrix's length minus one base on each side) scanned with every
matrix on both strands at p = 1e-4, from Python.

Run through `bash bench/peers/run.sh variants [--variants N] [--rounds R]`,
which makes the environment. The genome and the VCF are made as by
bench/bench_variants.py (10 Mbp, a tenth of the variants indels). Every tool
starts from the VCF and the FASTA: vok with vokscan.variant_effects (one
worker thread; it also picks each allele's best window and its p-value),
the peers with pysam reading the records, pyfaidx the windows and one scan
per allele window (MOODS: one Scanner over all matrices, or its one-call
scan_dna per window as its documentation shows; FIMO: each matrix over all
windows at once). Each tool's set-up (thresholds, tables) is timed
on an empty VCF and its cost per variant on a prefix of the VCF (shorter for
the slow peers); the estimate for 110,000 variants is set-up + 110,000 x
that cost. CPU seconds, medians of rotated rounds.
"""
import argparse
from functools import partial
import os
import statistics
import sys
import time
from pathlib import Path

os.environ["RAYON_NUM_THREADS"] = "1"  # before vok makes its pool
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent))
from compare import fimo_motifs, moods_matrices, read_transfac  # noqa: E402
from bench_variants import WORK, prefix, write_genome, write_variants  # noqa: E402

P = 1e-4
VARIANTS = 110_000


def allele_windows(vcf, genome_path, context):
    """(REF window, ALT window) of every variant of the VCF, as a user reads them."""
    import pyfaidx
    import pysam

    genome = pyfaidx.Fasta(str(genome_path), as_raw=True, sequence_always_upper=True)
    with pysam.VariantFile(str(vcf)) as records:
        for record in records:
            chromosome = genome[record.chrom]
            left = chromosome[max(0, record.start - context):record.start]
            right = chromosome[record.stop:record.stop + context]
            for alt in record.alts:
                yield left + record.ref + right, left + alt + right


def vok_tool(matrices_path, matrices, genome):
    import vokscan

    return lambda vcf: len(vokscan.variant_effects(matrices_path, genome, vcf, pvalue=P, threads=1))


def moods_tool(matrices_path, matrices, genome, one_call=False):
    """MOODS with one Scanner over all matrices, or (`one_call`) through its
    one-call API, scan_dna, once per window."""
    import MOODS.scan

    context = max(len(rows) for _, rows in matrices) - 1

    def run(vcf):
        bg, odds, thresholds = moods_matrices(matrices, P)
        if one_call:
            scan = lambda window: MOODS.scan.scan_dna(window, odds, bg, thresholds, 7)  # noqa: E731
        else:
            scanner = MOODS.scan.Scanner(7)
            scanner.set_motifs(odds, bg, thresholds)
            scan = scanner.scan
        return sum(len(found) for pair in allele_windows(vcf, genome, context)
                   for window in pair for found in scan(window))
    return run


def fimo_tool(matrices_path, matrices, genome):
    from pymemesuite.common import Sequence

    context = max(len(rows) for _, rows in matrices) - 1

    def run(vcf):
        fimo, motifs, background = fimo_motifs(matrices, P)
        sequences = [Sequence(window, name=f"{i}".encode()) for i, pair in
                     enumerate(allele_windows(vcf, genome, context)) for window in pair]
        if not sequences:
            return 0
        return sum(len(fimo.score_motif(m, sequences, background).matched_elements) for m in motifs)
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("matrices", help="TRANSFAC file (bench/jaspar_matrices.py writes it)")
    parser.add_argument("--bases", type=int, default=10_000_000)
    parser.add_argument("--variants", type=int, default=22_000, help="variants vok scores")
    parser.add_argument("--moods", type=int, default=2_000, help="variants MOODS scores")
    parser.add_argument("--moods-call", type=int, default=20, help="variants MOODS's scan_dna scores")
    parser.add_argument("--fimo", type=int, default=100, help="variants FIMO scores")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    WORK.mkdir(parents=True, exist_ok=True)
    genome = WORK / f"peers_genome_{args.bases}.fa"
    vcf = WORK / f"peers_variants_{args.bases}_{args.variants}.vcf"
    if not genome.exists() or not vcf.exists():
        sequences = write_genome(genome, args.bases, 3)
        write_variants(vcf, sequences, args.variants - args.variants // 11, args.variants // 11, 4)
    matrices = read_transfac(args.matrices)
    counts = {"vok": args.variants, "moods": args.moods, "moods-call": args.moods_call, "fimo": args.fimo}
    tools = {name: make(args.matrices, matrices, genome) for name, make in
             (("vok", vok_tool), ("moods", moods_tool), ("moods-call", partial(moods_tool, one_call=True)),
              ("fimo", fimo_tool))}
    tools["vok"](prefix(vcf, 10))  # indexes the genome
    runs = [(name, n) for name in tools for n in (0, counts[name])]
    times = {run: [] for run in runs}
    for round_index in range(args.rounds):
        for name, n in runs[round_index % len(runs):] + runs[:round_index % len(runs)]:
            start = time.process_time()
            tools[name](prefix(vcf, n))
            times[(name, n)].append(time.process_time() - start)
    print(f"{len(matrices)} matrices, p = {P:g}, both strands, {args.bases / 1e6:g} Mbp; "
          f"CPU seconds, medians of {args.rounds} rounds")
    print(f"{'tool':10} {'set-up':>8} {'variants':>9} {'ms/variant':>11} {'110k variants':>14} {'vs vok':>7}")
    estimates = {}
    for name in tools:
        setup = statistics.median(times[(name, 0)])
        per_variant = max(statistics.median(times[(name, counts[name])]) - setup, 0.0) / counts[name]
        estimates[name] = setup + VARIANTS * per_variant
        print(f"{name:10} {setup:8.2f} {counts[name]:9,} {per_variant * 1e3:11.3f} "
              f"{estimates[name]:13.1f}s {estimates[name] / estimates['vok']:6.0f}x")


if __name__ == "__main__":
    main()
