#!/usr/bin/env python3
"""vok side by side with other motif scanners on the same matrices and bases.

Run through bench/peers/run.sh, which makes the environment. For each set of
1, 10, 100 and all JASPAR 2024 CORE vertebrate matrices (spread evenly over
the collection) and random bases, every tool scans both strands at two kinds
of cut-offs:

- core: vok with css passed by the two best of the 1024 core words (about
  0.2% of positions) and mss 0.80; the peers at the p-value equal to vok's
  hit rate per position in that set, so that hit counts are similar;
- p=1e-4: vok with css 0 and the mss that 1e-4 of random windows reach
  (estimated per matrix from 200,000 random windows); the peers at p = 1e-4.

Times are process CPU seconds (vok runs with one worker thread), medians of
rounds in which the order of the tools rotates. The rate is matrix-positions
per second per core: matrices x 2 strands x bases / CPU seconds. Slow tools
scan a prefix of the bases, as their rate does not depend on its length.
"""
import argparse
import os
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

os.environ["RAYON_NUM_THREADS"] = "1"  # before vok makes its pool
# CPU time counts every thread: numpy's BLAS threads spinning after a call would be billed to whichever tool runs next.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import reference_model  # noqa: E402  (the scoring model, float for float)

BASES = "ACGT"
COMPLEMENT = str.maketrans("ACGT", "TGCA")


def read_transfac(path):
    """[(name, rows of [A, C, G, T] counts)] of a TRANSFAC file."""
    matrices, name, rows = [], None, []
    for line in Path(path).read_text().splitlines():
        fields = line.split()
        if line.startswith("ID"):
            name = fields[1]
        elif fields and fields[0].isdigit() and len(fields) >= 5:
            rows.append([float(v) for v in fields[1:5]])
        elif line.startswith("//"):
            matrices.append((name, rows))
            name, rows = None, []
    return matrices


def random_bases(count, seed):
    rng = random.Random(seed)
    return "".join(rng.choices(BASES, k=count))


# ---- vok's cut-offs -------------------------------------------------------

def window_mss(model, codes):
    """mss of every full window of `codes` (float64; thresholds only)."""
    length = len(model.freq)
    terms = np.array([[f * i for f in row] for row, i in zip(model.freq, model.info)])
    windows = np.lib.stride_tricks.sliding_window_view(codes, length)
    sums = terms[np.arange(length), windows].sum(axis=1)
    return (sums - model.min_sum) / (model.max_sum - model.min_sum)


def vok_cutoffs(matrices, sample):
    """Per matrix: (css of the second best core word, mss reached by 1e-4 of windows)."""
    codes = np.frombuffer(sample.encode(), dtype=np.uint8)
    codes = np.searchsorted(np.frombuffer(BASES.encode(), dtype=np.uint8), codes)
    result = {}
    for name, rows in matrices:
        model = reference_model.build(rows, (0.0, 0.0))
        css = sorted(model.table.values(), reverse=True)[1]
        mss = np.sort(window_mss(model, codes))[::-1]
        result[name] = (css, float(mss[max(1, round(1e-4 * len(mss))) - 1]))
    return result


# ---- the tools: prepare(matrices, thresholds) -> run(sequence) -> hit count --

def vok_tool(matrices, cutoffs, mode):
    import vok

    lines = []
    for index, (name, _) in enumerate(matrices):
        css, mss = cutoffs[name]
        lines.append(f"1 {css!r} 0.8 A{index} {name}" if mode == "core" else f"1 0.0 {mss!r} A{index} {name}")
    profile = vok.parse_profile("\n".join(lines) + "\n")

    def setup(sequence):
        calc = vok.VokCalculator()
        for name, rows in matrices:
            calc.add_pwm(vok.PwmMatrix(name, reference_model.columns(rows)))
        for entry in profile:
            calc.add_profile(entry)
        for record in vok.parse_fasta(f">s\n{sequence}\n"):
            calc.add_fasta(record)
        return lambda: len(calc.evaluate())

    return setup


def moods_matrices(matrices, p):
    """(background, log-odds matrices of both strands, their thresholds for p)."""
    import MOODS.tools

    bg = MOODS.tools.flat_bg(4)
    odds, thresholds = [], []
    for _, rows in matrices:
        counts = [[row[b] for row in rows] for b in range(4)]
        forward = MOODS.tools.log_odds(counts, bg, 0.1)
        for matrix in (forward, MOODS.tools.reverse_complement(forward)):
            odds.append(matrix)
            thresholds.append(MOODS.tools.threshold_from_p(matrix, bg, p))
    return bg, odds, thresholds


def moods_tool(matrices, p):
    import MOODS.scan

    bg, odds, thresholds = moods_matrices(matrices, p)

    def setup(sequence):
        def run():
            results = MOODS.scan.scan_dna(sequence, odds, bg, thresholds, 7)
            return sum(len(r) for r in results)
        return run

    return setup


def lightmotif_tool(matrices, p):
    import lightmotif

    scorers = []
    for _, rows in matrices:
        counts = lightmotif.CountMatrix({b: [round(row[i]) for row in rows] for i, b in enumerate(BASES)})
        pssm = counts.normalize(0.1).log_odds()
        for matrix in (pssm, pssm.reverse_complement()):
            scorers.append((matrix, matrix.score(p)))

    def setup(sequence):
        def run():
            striped = lightmotif.stripe(sequence)
            return sum(len(list(lightmotif.scan(m, striped, threshold=t))) for m, t in scorers)
        return run

    return setup


def fimo_motifs(matrices, p):
    """(FIMO at p on both strands, the matrices as its motifs, their background)."""
    from pymemesuite.common import MotifFile
    from pymemesuite.fimo import FIMO

    text = ["MEME version 4", "", "ALPHABET= ACGT", "", "strands: + -", "",
            "Background letter frequencies", "A 0.25 C 0.25 G 0.25 T 0.25", ""]
    for index, (name, rows) in enumerate(matrices):
        text += [f"MOTIF M{index} {name}",
                 f"letter-probability matrix: alength= 4 w= {len(rows)} nsites= 20 E= 0"]
        for row in rows:
            total = sum(row) + 0.4
            text.append(" ".join(f"{(v + 0.1) / total:.6f}" for v in row))
        text.append("")
    with tempfile.NamedTemporaryFile("w", suffix=".meme", delete=False) as handle:
        handle.write("\n".join(text))
    with MotifFile(handle.name) as motif_file:
        motifs = list(motif_file)
        background = motif_file.background
    os.unlink(handle.name)
    return FIMO(both_strands=True, threshold=p), motifs, background


def fimo_tool(matrices, p):
    from pymemesuite.common import Sequence

    fimo, motifs, background = fimo_motifs(matrices, p)

    def setup(sequence):
        sequences = [Sequence(sequence, name=b"s")]

        def run():
            return sum(len(fimo.score_motif(m, sequences, background).matched_elements) for m in motifs)
        return run

    return setup


def biopython_tool(matrices, p):
    from Bio import motifs
    from Bio.Seq import Seq

    scorers = []
    for _, rows in matrices:
        motif = motifs.Motif(alphabet=BASES, counts={b: [row[i] for row in rows] for i, b in enumerate(BASES)})
        pssm = motif.counts.normalize(pseudocounts=0.1).log_odds()
        scorers.append((pssm, pssm.distribution(precision=10**3).threshold_fpr(p)))

    def setup(sequence):
        seq = Seq(sequence)

        def run():
            return sum(len(list(pssm.search(seq, threshold=t, both=True))) for pssm, t in scorers)
        return run

    return setup


PEERS = {"moods": moods_tool, "lightmotif": lightmotif_tool, "fimo": fimo_tool, "biopython": biopython_tool}
SLOW = {"fimo", "biopython"}


def cpu_seconds(run):
    start = time.process_time()
    hits = run()
    return time.process_time() - start, hits


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("matrices", help="TRANSFAC file (bench/jaspar_matrices.py writes it)")
    parser.add_argument("--sets", default="1,10,100,all")
    parser.add_argument("--budget", type=float, default=4e8,
                        help="matrix-positions per run of a fast tool (bases = budget / 2 / matrices, at most --bases)")
    parser.add_argument("--slow-budget", type=float, default=2e7, help="the same for fimo and biopython")
    parser.add_argument("--bases", type=int, default=10_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--tools", default="vok,moods,lightmotif,fimo,biopython")
    args = parser.parse_args()

    collection = read_transfac(args.matrices)
    tools = args.tools.split(",")
    cutoffs = vok_cutoffs(collection, random_bases(200_000, 7))
    print(f"{len(collection)} matrices; CPU time, medians of {args.rounds} rotated rounds; "
          "rate = matrix-positions per second per core (both strands)")
    print(f"{'set':>4} {'cut-offs':8} {'tool':10} {'bases':>9} {'hits':>9} {'seconds':>8} {'Gmpos/s':>8} {'vs vok':>7}")
    for item in args.sets.split(","):
        count = len(collection) if item == "all" else int(item)
        matrices = [collection[j * len(collection) // count] for j in range(count)]
        fast_bases = int(min(args.bases, args.budget / 2 / count))
        slow_bases = int(min(fast_bases, args.slow_budget / 2 / count))
        sequence = random_bases(fast_bases, 11)
        for mode in ("core", "p=1e-4"):
            runners = {"vok": (vok_tool(matrices, cutoffs, "core" if mode == "core" else "mss"), fast_bases)}
            # The peers' p-value: vok's hit rate in this set, or 1e-4.
            p = 1e-4
            if mode == "core":
                hits = runners["vok"][0](sequence)()
                p = max(hits / (2 * count * fast_bases), 1e-7)
            for name in tools:
                if name in PEERS:
                    runners[name] = (PEERS[name](matrices, p), slow_bases if name in SLOW else fast_bases)
            names = [name for name in tools if name in runners]
            prepared = {name: runners[name][0](sequence[:runners[name][1]]) for name in names}
            times = {name: [] for name in names}
            hits = {}
            for round_index in range(args.rounds):
                order = names[round_index % len(names):] + names[:round_index % len(names)]
                for name in order:
                    seconds, hits[name] = cpu_seconds(prepared[name])
                    times[name].append(seconds)
            rates = {}
            for name in names:
                seconds = statistics.median(times[name])
                bases = runners[name][1]
                rates[name] = 2 * count * bases / seconds / 1e9
            for name in names:
                bases = runners[name][1]
                ratio = rates["vok"] / rates[name] if "vok" in rates else float("nan")
                print(f"{count:>4} {mode:8} {name:10} {bases:>9} {hits[name]:>9} "
                      f"{statistics.median(times[name]):>8.3f} {rates[name]:>8.3f} {ratio:>6.1f}x", flush=True)


if __name__ == "__main__":
    main()
