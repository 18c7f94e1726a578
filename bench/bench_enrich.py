#!/usr/bin/env python3
"""End-to-end time and peak memory of `vok-scan enrich` and `vok-scan count`.

A random genome (100 Mbp by default, in four chromosomes, G+C varying along
it in 100 kbp stretches, a few N blocks) receives 10,000 peaks of 500 bp,
G+C-richer than the genome, and sites sampled from six JASPAR matrices are
planted near the centres of a share of the peaks (30 % down to 3 %). Then:

- enrich: `vok-scan enrich --control genome --control-times 3` with every
  matrix of MATRICES (the 879 JASPAR 2024 CORE vertebrate matrices of
  bench/jaspar_matrices.py) on 1 and 2 threads: wall and CPU seconds, peak
  memory (the child's maximum resident set), and the rank of each planted
  matrix overall and among the matrices of its family (FAMILIES, written by
  bench/jaspar_matrices.py);
- count: `vok-scan count` of COUNT_REGIONS regions of 500 bp (1,000,000 by
  default) with every matrix, to .npz, on 1 thread.

    python bench/bench_enrich.py MATRICES FAMILIES [--workdir build/bench-enrich] [--count-regions N]

The data are made once in the work folder (genome.fa, peaks.bed, peaks.fa,
regions.bed) and kept; the results go to results.json there. The control
sequences that vok used are kept as control.fa for bench/peers/enrich_compare.py.
"""
import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
PLANTED = {  # matrix id prefix -> share of peaks with a planted site
    "MA0139": 0.30,  # CTCF
    "MA0035": 0.20,  # GATA1
    "MA0148": 0.15,  # FOXA1
    "MA0105": 0.10,  # NFKB1
    "MA0138": 0.05,  # REST
    "MA0106": 0.03,  # TP53
}
CHROMOSOMES = 4
LETTERS = np.frombuffer(b"ACGT", dtype=np.uint8)


def read_transfac(path):
    """{id: counts (L x 4)} of a TRANSFAC file written by bench/jaspar_matrices.py."""
    matrices, name, rows = {}, None, []
    for line in Path(path).read_text().splitlines():
        fields = line.split()
        if line.startswith("ID"):
            name, rows = fields[1], []
        elif fields and fields[0].isdigit() and name is not None:
            rows.append([float(v) for v in fields[1:5]])
        elif line.startswith("//") and name is not None:
            matrices[name] = np.array(rows)
            name = None
    return matrices


def random_codes(rng, length, gc):
    p = np.array([(1 - gc) / 2, gc / 2, gc / 2, (1 - gc) / 2])
    return rng.choice(4, size=length, p=p).astype(np.uint8)


def sample_site(rng, counts):
    frequencies = (counts + 0.25) / (counts + 0.25).sum(axis=1, keepdims=True)
    codes = np.array([rng.choice(4, p=row) for row in frequencies], dtype=np.uint8)
    return codes if rng.random() < 0.5 else (3 - codes)[::-1]


def write_fasta(path, records, width=60):
    with open(path, "wb") as handle:
        for name, letters in records:
            handle.write(b">" + name.encode() + b"\n")
            for at in range(0, len(letters), width):
                handle.write(letters[at:at + width] + b"\n")


def make_data(folder: Path, matrices, genome_bases: int, peaks: int, width: int, count_regions: int):
    if (folder / "regions.bed").exists():
        return
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(2024)
    size = genome_bases // CHROMOSOMES
    chromosomes = []
    for c in range(CHROMOSOMES):
        stretches = [random_codes(rng, 100_000, float(np.clip(rng.normal(0.41, 0.04), 0.25, 0.6)))
                     for _ in range(size // 100_000)]
        chromosomes.append(np.concatenate(stretches))
    n_blocks = [(c, int(rng.integers(0, size - 50_000))) for c in range(CHROMOSOMES) for _ in range(5)]
    # Peaks: non-overlapping, away from N blocks, G+C-rich, with planted sites.
    planted = {prefix: next(m for m in matrices if m.startswith(prefix)) for prefix in PLANTED}
    rows, taken = [], set()
    while len(rows) < peaks:
        c, start = int(rng.integers(CHROMOSOMES)), int(rng.integers(0, size - width))
        key = (c, start // (2 * width))
        if key in taken or any(bc == c and bs - width < start < bs + 50_000 for bc, bs in n_blocks):
            continue
        taken.add(key)
        letters = random_codes(rng, width, 0.48)
        for prefix, share in PLANTED.items():
            if rng.random() < share:
                site = sample_site(rng, matrices[planted[prefix]])
                at = int(np.clip(width // 2 + rng.normal(0, 40) - len(site) // 2, 0, width - len(site)))
                letters[at:at + len(site)] = site
        chromosomes[c][start:start + width] = letters
        rows.append((c, start))
    records = []
    for c, codes in enumerate(chromosomes):
        letters = LETTERS[codes]
        for bc, bs in n_blocks:
            if bc == c:
                letters[bs:bs + 50_000] = ord("N")
        records.append((f"chr{c + 1}", letters.tobytes()))
    write_fasta(folder / "genome.fa", records)
    rows.sort()
    with open(folder / "peaks.bed", "w") as handle:
        for number, (c, start) in enumerate(rows, 1):
            handle.write(f"chr{c + 1}\t{start}\t{start + width}\tpeak{number}\n")
    write_fasta(folder / "peaks.fa", [(f"peak{n}", records[c][1][s:s + width]) for n, (c, s) in enumerate(rows, 1)])
    with open(folder / "regions.bed", "w") as handle:
        for number in range(count_regions):
            c, start = int(rng.integers(CHROMOSOMES)), int(rng.integers(0, size - width))
            handle.write(f"chr{c + 1}\t{start}\t{start + width}\tregion{number}\n")
    (folder / "planted.json").write_text(json.dumps(planted, indent=1))


def measured(command):
    """(wall seconds, CPU seconds, peak resident MiB) of a child process."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    stderr = child.stderr.read().decode()
    child.stderr.close()
    if status != 0:
        raise SystemExit(f"{' '.join(map(str, command))} failed: {stderr}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def ranks(table_path: Path, planted, families):
    """Per planted matrix: its rank overall and among the matrices of its family."""
    lines = table_path.read_text().splitlines()[1:]
    order = [line.split("\t")[1] for line in lines]
    result = {}
    for matrix in planted.values():
        family = families.get(matrix.split(".")[0] + "." + matrix.split(".")[1], "")
        relatives = [m for m in order if family and families.get(".".join(m.split(".")[:2])) == family]
        result[matrix] = {"rank": order.index(matrix) + 1,
                          "rank_in_family": relatives.index(matrix) + 1 if matrix in relatives else 1,
                          "family": family, "family_size": len(relatives)}
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("matrices")
    parser.add_argument("families")
    parser.add_argument("--workdir", default=str(ROOT / "build" / "bench-enrich"))
    parser.add_argument("--genome-mbp", type=int, default=100)
    parser.add_argument("--peaks", type=int, default=10_000)
    parser.add_argument("--width", type=int, default=500)
    parser.add_argument("--count-regions", type=int, default=1_000_000)
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--skip-count", action="store_true")
    options = parser.parse_args()
    folder = Path(options.workdir)
    matrices = read_transfac(options.matrices)
    families = dict(line.split("\t")[:2] for line in Path(options.families).read_text().splitlines()[1:])
    make_data(folder, matrices, options.genome_mbp * 1_000_000, options.peaks, options.width,
              options.count_regions)
    planted = json.loads((folder / "planted.json").read_text())
    command = [sys.executable, "-m", "vokscan"]
    results = {"matrices": len(matrices), "genome_mbp": options.genome_mbp, "peaks": options.peaks}
    # Indexes are made once, outside the timed runs.
    subprocess.run(command + ["--regions", str(folder / "peaks.bed"), "--mss", "1", "--css", "1",
                              options.matrices, str(folder / "genome.fa"), "-o", os.devnull], check=True)
    for threads in options.threads.split(","):
        table = folder / f"vok_enrich_t{threads}.tsv"
        wall, cpu, memory = measured(command + [
            "enrich", "--genome", str(folder / "genome.fa"), "--control", "genome", "--control-times", "3",
            "--threads", threads, options.matrices, str(folder / "peaks.bed"), "-o", str(table),
            "--save-control", str(folder / "control.fa")])
        results[f"enrich_threads_{threads}"] = {"wall_s": round(wall, 2), "cpu_s": round(cpu, 2),
                                               "peak_mib": round(memory, 1)}
        print(f"enrich, {threads} thread(s): {wall:.1f} s wall, {cpu:.1f} s CPU, {memory:.0f} MiB", flush=True)
    results["planted_ranks"] = ranks(folder / "vok_enrich_t1.tsv", planted, families)
    for matrix, rank in results["planted_ranks"].items():
        print(f"  {matrix}: rank {rank['rank']}, {rank['rank_in_family']} of {rank['family_size']} in "
              f"family '{rank['family']}'")
    if not options.skip_count:
        wall, cpu, memory = measured(command + [
            "count", "--threads", "1", "--regions", str(folder / "regions.bed"), options.matrices,
            str(folder / "genome.fa"), "-o", str(folder / "counts.npz")])
        results["count_threads_1"] = {"regions": options.count_regions, "wall_s": round(wall, 2),
                                      "cpu_s": round(cpu, 2), "peak_mib": round(memory, 1)}
        print(f"count, {options.count_regions} regions, 1 thread: {wall:.1f} s wall, {cpu:.1f} s CPU, "
              f"{memory:.0f} MiB", flush=True)
    (folder / "results.json").write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
