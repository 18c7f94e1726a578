"""Writes examples/data/lambda_peaks.bed: made-up peaks on the lambda genome
for the README's region, count and enrich commands. Each FOXA1 site that
vok-scan reports in the genome (p <= 1e-4 per window) gets a 200 bp peak
around it, its centre moved by up to 30 bp, and 29 more peaks of 200 bp lie
at random elsewhere; the peaks are sorted by position. Deterministic.

    python tools/make_example_peaks.py examples/data/lambda_peaks.bed
"""

import sys
from pathlib import Path

import numpy as np

import vokscan

DATA = Path(__file__).resolve().parents[1] / "examples" / "data"
WIDTH = 200


def main(out: str) -> None:
    genome = DATA / "lambda_virus.fa"
    text = "".join(line.strip() for line in genome.read_text().splitlines() if not line.startswith(">"))
    chrom = genome.read_text().split()[0][1:]
    hits = vokscan.scan_to_dataframe(DATA / "jaspar_core_vertebrates.transfac", genome, pvalue=1e-4)
    sites = hits[hits["motif_name"] == "FOXA1"]
    rng = np.random.default_rng(2024)
    starts = []
    for centre in ((sites["start"] + sites["end"]) // 2).tolist():
        starts.append(min(max(centre + int(rng.integers(-30, 31)) - WIDTH // 2, 0), len(text) - WIDTH))
    while len(starts) < len(sites) + 29:
        start = int(rng.integers(0, len(text) - WIDTH))
        if all(abs(start - other) >= WIDTH for other in starts):
            starts.append(start)
    with open(out, "w") as handle:
        for number, start in enumerate(sorted(starts), 1):
            handle.write(f"{chrom}\t{start}\t{start + WIDTH}\tpeak{number}\n")


if __name__ == "__main__":
    main(sys.argv[1])
