#!/usr/bin/env python3
"""Motif enrichment as users do it with a peer scanner, side by side with
`vok-scan enrich`, on the same targets, controls and matrices.

Run through bench/peers/run.sh after bench/bench_enrich.py has made its data:

    PEERS_SCRIPT=enrich_compare.py bash bench/peers/run.sh build/bench-enrich [--rounds 3]

The targets are the peaks of bench_enrich.py (peaks.fa) and the controls the
G+C-matched regions its vok run used (control.fa). The peer pipeline is MOODS
(both strands: each matrix and its reverse complement, thresholds for p =
1e-4 per window on uniform bases, the same rate vok's thresholds are set
for), counting per matrix the sequences with a site, then scipy's one-sided
Fisher exact test per matrix, ranked by p-value. vok runs `vok-scan enrich`
with the same files as a control (--control control.fa) on one thread.
Times are CPU seconds of the whole pipeline in a child process (reading,
thresholds, scanning, tests), medians of rounds whose order rotates.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

os.environ["RAYON_NUM_THREADS"] = "1"
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

PVALUE = 1e-4
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from bench_enrich import read_transfac  # noqa: E402  {matrix id: L x 4 counts}


def read_fasta(path):
    records, name, parts = [], None, []
    with open(path) as handle:
        for line in handle:
            if line.startswith(">"):
                if name is not None:
                    records.append((name, "".join(parts)))
                name, parts = line[1:].split()[0], []
            else:
                parts.append(line.strip())
    if name is not None:
        records.append((name, "".join(parts)))
    return records


def moods_pipeline(matrices_path, targets_path, control_path, out_path):
    """The peer pipeline; writes motif ids ranked by p-value, with the p-values."""
    import MOODS.scan
    import MOODS.tools
    from scipy.stats import fisher_exact

    background = [0.25] * 4
    matrices = list(read_transfac(matrices_path).items())
    log_odds, thresholds = [], []
    for _, rows in matrices:
        counts = rows.T.tolist()  # 4 x L
        forward = MOODS.tools.log_odds(counts, background, 0.01)
        threshold = MOODS.tools.threshold_from_p(forward, background, PVALUE)
        log_odds += [forward, MOODS.tools.reverse_complement(forward)]
        thresholds += [threshold, threshold]
    scanner = MOODS.scan.Scanner(7)
    scanner.set_motifs(log_odds, background, thresholds)

    def with_site(path):
        counts = [0] * len(matrices)
        records = read_fasta(path)
        for _, sequence in records:
            results = scanner.scan(sequence)
            for k in range(len(matrices)):
                if results[2 * k] or results[2 * k + 1]:
                    counts[k] += 1
        return counts, len(records)

    target_with, targets = with_site(targets_path)
    control_with, controls = with_site(control_path)
    rows = []
    for k, (name, _) in enumerate(matrices):
        p = fisher_exact([[target_with[k], targets - target_with[k]],
                          [control_with[k], controls - control_with[k]]], alternative="greater").pvalue
        rows.append((p, k, name))
    rows.sort()
    Path(out_path).write_text("".join(f"{name}\t{p!r}\n" for p, _, name in rows))


def measured(command):
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    error = child.stderr.read().decode()
    child.stderr.close()
    if status != 0:
        raise SystemExit(f"{command} failed: {error}")
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--moods":
        moods_pipeline(*sys.argv[2:6])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("matrices")
    parser.add_argument("workdir")
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()
    folder = Path(options.workdir)
    targets, control = folder / "peaks.fa", folder / "control.fa"
    planted = json.loads((folder / "planted.json").read_text())
    commands = {
        "vok": [sys.executable, "-m", "vokscan", "enrich", "--threads", "1", "--control", str(control),
                options.matrices, str(targets), "-o", str(folder / "vok_file_control.tsv")],
        "MOODS + scipy": [sys.executable, __file__, "--moods", options.matrices, str(targets), str(control),
                          str(folder / "moods_ranking.tsv")],
    }
    times = {name: [] for name in commands}
    memory = {}
    names = list(commands)
    for round_ in range(options.rounds):
        for name in names[round_ % len(names):] + names[:round_ % len(names)]:
            cpu, peak = measured(commands[name])
            times[name].append(cpu)
            memory[name] = peak
            print(f"round {round_ + 1}: {name}: {cpu:.1f} s CPU, {peak:.0f} MiB", flush=True)
    vok_order = [line.split("\t")[1] for line in (folder / "vok_file_control.tsv").read_text().splitlines()[1:]]
    peer_order = [line.split("\t")[0] for line in (folder / "moods_ranking.tsv").read_text().splitlines()]
    summary = {"cpu_s": {n: statistics.median(t) for n, t in times.items()}, "peak_mib": memory,
               "planted_rank": {m: {"vok": vok_order.index(m) + 1, "peer": peer_order.index(m) + 1}
                                for m in planted.values()}}
    summary["speedup"] = summary["cpu_s"]["MOODS + scipy"] / summary["cpu_s"]["vok"]
    print(json.dumps(summary, indent=1))
    (folder / "peers.json").write_text(json.dumps(summary, indent=1))


if __name__ == "__main__":
    main()
