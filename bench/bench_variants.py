#!/usr/bin/env python3
"""`vok-scan variants` end to end: 100,000 SNVs and 10,000 indels on a
100 Mbp random genome against a motif file (the 879 JASPAR 2024 CORE
vertebrate matrices from `python bench/jaspar_matrices.py OUT`).

Writes the genome and VCFs under build/bench_variants/ (once), then runs the
command (on PATH, or `python -m vokscan`) on 1 and 2 threads: wall time, CPU
time and peak memory of the process, medians of --rounds rounds; and peak
memory against the number of variants (prefixes of the VCF).

    python bench/bench_variants.py build/jaspar2024_core_vertebrates.transfac
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "bench_variants"
CHROMOSOMES = 4
BASES = "ACGT"
# Runs one command and prints its wall seconds, CPU seconds and peak RSS (KiB).
MEASURE = ("import resource, subprocess, sys, time\n"
           "start = time.monotonic()\n"
           "status = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode\n"
           "wall = time.monotonic() - start\n"
           "usage = resource.getrusage(resource.RUSAGE_CHILDREN)\n"
           "print(status, wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss)\n")


def write_genome(path: Path, total: int, seed: int) -> list:
    """Random bases in CHROMOSOMES records of 60-base lines; the sequences."""
    rng = np.random.default_rng(seed)
    table = np.frombuffer(BASES.encode(), dtype=np.uint8)
    sequences = []
    with open(path, "wb") as out:
        for index in range(CHROMOSOMES):
            codes = table[rng.integers(0, 4, total // CHROMOSOMES)]
            sequence = codes.tobytes()
            sequences.append(sequence)
            out.write(f">chr{index + 1}\n".encode())
            lines = np.frombuffer(sequence[: len(sequence) // 60 * 60], dtype=np.uint8).reshape(-1, 60)
            block = np.hstack([lines, np.full((lines.shape[0], 1), ord("\n"), dtype=np.uint8)])
            out.write(block.tobytes())
            rest = sequence[len(sequence) // 60 * 60:]
            if rest:
                out.write(rest + b"\n")
    return sequences


def write_variants(path: Path, sequences: list, snvs: int, indels: int, seed: int) -> None:
    """A sorted VCF: `snvs` SNVs, and indels of 1 to 20 bases, half insertions."""
    rng = random.Random(seed)
    records = []
    for kind in ["snv"] * snvs + ["indel"] * indels:
        chrom = rng.randrange(len(sequences))
        sequence = sequences[chrom]
        pos = rng.randrange(100, len(sequence) - 100)  # 0-based
        ref = chr(sequence[pos])
        if kind == "snv":
            alt = rng.choice([b for b in BASES if b != ref])
        elif rng.random() < 0.5:
            alt = ref + "".join(rng.choices(BASES, k=rng.randint(1, 20)))
        else:
            ref = sequence[pos:pos + 1 + rng.randint(1, 20)].decode()
            alt = ref[0]
        records.append((chrom, pos, ref, alt))
    records.sort()
    with open(path, "w") as out:
        out.write("##fileformat=VCFv4.2\n")
        for index, sequence in enumerate(sequences):
            out.write(f"##contig=<ID=chr{index + 1},length={len(sequence)}>\n")
        out.write("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n")
        for number, (chrom, pos, ref, alt) in enumerate(records):
            out.write(f"chr{chrom + 1}\t{pos + 1}\tv{number}\t{ref}\t{alt}\t.\t.\t.\n")


def prefix(vcf: Path, records: int) -> Path:
    """The header and first `records` records of the VCF, as a file of its own."""
    path = vcf.with_name(f"{vcf.stem}_first{records}.vcf")
    if not path.exists():
        with open(vcf) as source, open(path, "w") as out:
            kept = 0
            for line in source:
                if not line.startswith("#"):
                    if kept == records:
                        break
                    kept += 1
                out.write(line)
    return path


def command() -> list:
    return ["vok-scan"] if any((Path(p) / "vok-scan").exists() for p in os.environ["PATH"].split(":")) \
        else [sys.executable, "-m", "vokscan"]


def measure(args: list) -> tuple:
    out = subprocess.run([sys.executable, "-c", MEASURE] + args, capture_output=True, text=True, check=True)
    status, wall, cpu, rss = out.stdout.split()
    if status != "0":
        raise SystemExit(f"failed ({status}): {' '.join(args)}")
    return float(wall), float(cpu), int(rss) / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("matrices", help="motif file (bench/jaspar_matrices.py writes the JASPAR one)")
    parser.add_argument("--bases", type=int, default=100_000_000, help="genome size (default: 100 Mbp)")
    parser.add_argument("--snvs", type=int, default=100_000)
    parser.add_argument("--indels", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--threads", default="1,2")
    args = parser.parse_args()

    WORK.mkdir(parents=True, exist_ok=True)
    tag = f"{args.bases}_{args.snvs}_{args.indels}"
    genome, vcf = WORK / f"genome_{args.bases}.fa", WORK / f"variants_{tag}.vcf"
    if not genome.exists() or not vcf.exists():
        print("writing the genome and the variants ...", flush=True)
        sequences = write_genome(genome, args.bases, 1)
        write_variants(vcf, sequences, args.snvs, args.indels, 2)
    base = command() + ["variants", "-q", args.matrices, str(genome)]
    out = WORK / "effects.tsv"
    measure(base + [str(prefix(vcf, 100)), "-o", str(out)])  # builds the index, warms the caches
    variants = args.snvs + args.indels
    print(f"{variants:,} variants ({args.snvs:,} SNVs, {args.indels:,} indels), "
          f"{args.bases / 1e6:g} Mbp, {args.matrices}; medians of {args.rounds} rounds")
    print(f"{'threads':>7} {'wall s':>8} {'CPU s':>8} {'peak MiB':>9}")
    runs = {threads: [] for threads in args.threads.split(",")}
    for round_index in range(args.rounds):
        order = list(runs)
        order = order[round_index % len(order):] + order[:round_index % len(order)]
        for threads in order:
            runs[threads].append(measure(base + [str(vcf), "-t", threads, "-o", str(out)]))
    for threads, results in runs.items():
        wall, cpu, rss = (statistics.median(r[i] for r in results) for i in range(3))
        print(f"{threads:>7} {wall:8.2f} {cpu:8.2f} {rss:9.1f}")
    rows = sum(1 for _ in open(out)) - 1
    print(f"rows written: {rows:,}")
    print("peak memory against the number of variants (1 thread):")
    for count in (variants // 4, variants // 2, variants):
        wall, cpu, rss = measure(base + [str(prefix(vcf, count)), "-t", "1", "-o", str(out)])
        print(f"  {count:>8,} variants: {rss:7.1f} MiB, {cpu:6.2f} s CPU")
    out.unlink()


if __name__ == "__main__":
    main()
