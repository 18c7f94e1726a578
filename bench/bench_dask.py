#!/usr/bin/env python3
"""The scan on a Dask cluster against the local threaded scan.

    python bench/bench_dask.py [--mbp 100] [--motifs 100] [--rounds 3] [--block 4000000] [--pvalue 1e-4]

Writes a random FASTA (soft-masked stretches and N runs) and takes the first
MOTIFS JASPAR 2024 CORE vertebrate matrices (bench/jaspar_matrices.py, needs
pyjaspar), then times, as medians of ROUNDS alternating rounds:

- the local threaded scan (FastaScan on all threads) writing TSV;
- the same scan on a local cluster of 2 worker processes and of 1 (one
  thread each, started beforehand as `--dask local:N` starts them),
  checking the bytes are identical;
- `vok-scan --dask local:2` against `vok-scan` end to end (cluster start-up
  included).

It reports the scheduler overhead per task (wall time × worker threads minus
the tasks' compute time, per task), the bytes of hit columns moved per hit,
and projects a human genome × 1,000 motifs on 100 workers from the measured
per-task cost.
"""
from __future__ import annotations

import argparse
import math
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
HUMAN_GENOME = 3.1e9  # bases
HUMAN_RECORDS = 25    # chromosomes 1-22, X, Y, M


def write_fasta(path: Path, mbp: float, seed: int = 7, record_mbp: float = 25.0) -> None:
    """Random bases; 25% soft-masked, runs of N every few hundred kbp."""
    rng = np.random.default_rng(seed)
    letters = np.frombuffer(b"ACGTacgt", dtype=np.uint8)
    total = int(mbp * 1e6)
    with open(path, "wb") as handle:
        done, number = 0, 0
        while done < total:
            length = min(int(record_mbp * 1e6), total - done)
            codes = rng.integers(0, 4, length, dtype=np.uint8)
            masked = np.repeat(rng.random(length // 1000 + 1) < 0.25, 1000)[:length]
            sequence = letters[codes + 4 * masked]
            for start in rng.integers(0, max(length - 5000, 1), length // 300_000 + 1):
                sequence[start:start + rng.integers(100, 5000)] = ord("N")
            number += 1
            handle.write(f">chr{number}\n".encode())
            body = sequence.tobytes()
            handle.write(b"\n".join(body[i:i + 60] for i in range(0, len(body), 60)) + b"\n")
            done += length


def motif_subset(path: Path, count: int) -> None:
    collection = ROOT / "build" / "jaspar2024_core_vertebrates.transfac"
    if not collection.exists():
        subprocess.run([sys.executable, str(ROOT / "bench" / "jaspar_matrices.py"), str(collection)], check=True)
    records = collection.read_text().split("//\n")
    path.write_text("//\n".join(records[:count]) + "//\n")


def timed(function, output: Path = None):
    """(seconds, result) of function(); `output`, the file it writes, is removed
    beforehand, so that no run pays for dropping the last round's file."""
    if output is not None:
        output.unlink(missing_ok=True)
    start = time.perf_counter()
    result = function()
    return time.perf_counter() - start, result


def scan_local(prepared, fasta, out):
    from vokscan import _engine
    from vokscan.scanning import engine_batches

    writer = _engine.HitWriter(str(out), format="tsv", motifs=prepared.engine_set, pvalues=prepared.pvalues)
    for batch in engine_batches(prepared, [str(fasta)], threads=0):
        writer.write(batch)
    writer.close()


def scan_cluster(client, prepared, fasta, out, block):
    from vokscan import _engine
    from vokscan.cluster import cluster_batches

    writer = _engine.HitWriter(str(out), format="tsv", motifs=prepared.engine_set, pvalues=prepared.pvalues)
    scans = []
    # As vok-scan does: the workers format the lines, the client writes them in order.
    batches = cluster_batches(client, prepared, [str(fasta)], on_scan=scans.append, block_size=block,
                              output_format="tsv", parts_dir=str(Path(out).parent),
                              strand="both", mask=False, partial_windows=False)
    write_seconds = 0.0
    for batch in batches:
        start = time.perf_counter()
        writer.write_text(batch)
        write_seconds += time.perf_counter() - start
    writer.close()
    scans[0].write_seconds = write_seconds
    return scans[0]


def cpu_seconds() -> float:
    import resource

    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def worker_cpu(client) -> float:
    """CPU seconds used so far by all worker processes of the client's cluster."""
    return sum(client.run(cpu_seconds).values())


GAPS = []  # seconds a worker waited between the end of one task and the start of its next


def task_costs(client, run, output: Path):
    """(wall seconds, compute seconds per task, result of run()) from the task stream."""
    from distributed import get_task_stream

    with get_task_stream(client) as stream:
        wall, scan = timed(run, output)
    tasks = [task for task in stream.data if str(task["key"]).startswith("vokscan-")]
    computes, spans = [], {}
    for task in tasks:
        for part in task["startstops"]:
            if part["action"] == "compute":
                computes.append(part["stop"] - part["start"])
                spans.setdefault(task["worker"], []).append((part["start"], part["stop"]))
    for worker_spans in spans.values():
        worker_spans.sort()
        GAPS.extend(start - stop for (_, stop), (start, _) in zip(worker_spans, worker_spans[1:]))
    return wall, computes, scan


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mbp", type=float, default=100.0)
    parser.add_argument("--motifs", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--block", type=int, default=4_000_000)
    parser.add_argument("--pvalue", type=float, default=1e-4,
                        help="thresholds for this p-value, as vok-scan by default; 0: css/mss 0.95/0.90")
    parser.add_argument("--workdir", default=str(ROOT / "build" / "bench_dask"))
    args = parser.parse_args()

    from vokscan.cluster import ClientStart, IndexedFasta
    from vokscan.cluster.plan import group_count
    from vokscan.scanning import DEFAULT_CSS, DEFAULT_MSS, prepare_motifs

    work = Path(args.workdir)
    work.mkdir(parents=True, exist_ok=True)
    fasta = work / f"random_{args.mbp:g}mbp.fa"
    motifs = work / f"jaspar_{args.motifs}.transfac"
    if not fasta.exists():
        write_fasta(fasta, args.mbp)
    motif_subset(motifs, args.motifs)
    index_seconds, _ = timed(lambda: IndexedFasta(str(fasta)))
    if args.pvalue:  # vok-scan's default: thresholds for a p-value, with a pvalue column
        prepared = prepare_motifs(str(motifs), pvalue=args.pvalue, pvalues=True)
        thresholds = f"p-value {args.pvalue:g} with a pvalue column (vok-scan's default)"
    else:
        prepared = prepare_motifs(str(motifs), css=DEFAULT_CSS, mss=DEFAULT_MSS)
        thresholds = f"css {DEFAULT_CSS}, mss {DEFAULT_MSS}"
    lengths = [len(record.matrix) for record in prepared.records]
    print(f"input: {args.mbp:g} Mbp, {len(lengths)} motifs (mean length {np.mean(lengths):.1f}), "
          f"block {args.block:,} bases; thresholds {thresholds}")
    print(f"index (.fai, first use): {index_seconds:.2f} s")

    times = {"local": [], "cluster2": [], "cluster1": []}
    overheads, computes_all, tasks, scan2 = [], [], 0, None
    busy = {"cluster2": [], "cluster1": []}  # share of the wall time each worker spent in tasks
    cpu = {"local": [], "cluster2": [], "cluster1": []}  # CPU seconds of the scanning processes
    client_cpu = []  # CPU seconds of this process (client, schedulers, nannies) in the 2-worker runs
    # Started as `vok-scan --dask local:N` starts them.
    with ClientStart("local:2") as two, ClientStart("local:1") as one:
        client2, client1 = two.client(), one.client()
        for round_number in range(args.rounds):
            before = cpu_seconds()
            seconds, _ = timed(lambda: scan_local(prepared, fasta, work / "local.tsv"), work / "local.tsv")
            times["local"].append(seconds)
            cpu["local"].append(cpu_seconds() - before)
            before, before_client = worker_cpu(client2), cpu_seconds()
            wall, computes, scan2 = task_costs(client2, lambda: scan_cluster(client2, prepared, fasta,
                                                                             work / "cluster.tsv", args.block),
                                               work / "cluster.tsv")
            client_cpu.append(cpu_seconds() - before_client)
            cpu["cluster2"].append(worker_cpu(client2) - before)
            before = worker_cpu(client1)
            times["cluster2"].append(wall)
            overheads.append((wall * 2 - sum(computes)) / len(computes))
            computes_all += computes
            tasks = len(computes)
            seconds, computes1, _ = task_costs(client1, lambda: scan_cluster(client1, prepared, fasta,
                                                                            work / "cluster1.tsv", args.block),
                                               work / "cluster1.tsv")
            times["cluster1"].append(seconds)
            cpu["cluster1"].append(worker_cpu(client1) - before)
            busy["cluster2"].append(sum(computes) / (2 * wall))
            busy["cluster1"].append(sum(computes1) / seconds)
            same = (work / "local.tsv").read_bytes() == (work / "cluster.tsv").read_bytes() \
                == (work / "cluster1.tsv").read_bytes()
            print(f"round {round_number + 1}: local {times['local'][-1]:.2f} s, 2 workers {wall:.2f} s, "
                  f"1 worker {seconds:.2f} s, identical output: {same}")
            if not same:
                sys.exit("cluster output differs from the local output")

    median = {key: statistics.median(values) for key, values in times.items()}
    hits = scan2.hits_total
    print(f"hits: {hits:,} ({hits / args.mbp / len(lengths):.1f} per Mbp per motif)")
    print(f"tasks per run: {tasks} ({len(scan2.motif_groups)} motif groups × blocks), window {scan2.window} blocks")
    print(f"median local threaded {median['local']:.2f} s; 2 workers {median['cluster2']:.2f} s; "
          f"1 worker {median['cluster1']:.2f} s")
    print(f"2 workers vs 1: {median['cluster1'] / median['cluster2']:.2f}x faster")
    print(f"2 workers vs local threaded: {median['cluster2'] / median['local']:.2f}x the time")
    cpu_median = {key: statistics.median(values) for key, values in cpu.items()}
    print(f"CPU seconds: local threaded {cpu_median['local']:.1f} (client process, writing included), "
          f"2 workers {cpu_median['cluster2']:.1f}, 1 worker {cpu_median['cluster1']:.1f} (worker processes); "
          f"the client process in the 2-worker runs {statistics.median(client_cpu):.2f} (scheduler, nannies, "
          f"client, writing)")
    print(f"on idle cores, 2 workers vs 1 would take {cpu_median['cluster2'] / 2 / cpu_median['cluster1']:.2f}x "
          f"the time (CPU per worker, all workers busy)")
    print(f"workers busy in tasks: 2 workers {statistics.median(busy['cluster2']):.0%}, "
          f"1 worker {statistics.median(busy['cluster1']):.0%} of the wall time; load average now "
          f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    overhead = statistics.median(GAPS) if GAPS else float("nan")
    print(f"scheduler overhead per task: {overhead * 1e3:.1f} ms median gap between a worker's tasks "
          f"(idle worker time per task incl. the last wave: {statistics.median(overheads) * 1e3:.0f} ms); "
          f"task compute median {statistics.median(computes_all):.2f} s")
    per_hit = scan2.bytes_received / max(hits, 1)
    print(f"moved through the cluster: {scan2.bytes_received:,} bytes, {per_hit:.1f} bytes per hit; "
          f"left by the workers in files beside the output: {scan2.bytes_by_file:,} bytes, "
          f"{scan2.bytes_by_file / max(hits, 1):.1f} bytes per hit")
    # The client's work: fetching results (round trips, whatever their size)
    # and merging and writing lines (in proportion to the hits).
    fetch_per_trip = scan2.fetch_seconds / max(scan2.fetches, 1)
    client_per_hit = (scan2.client_seconds - scan2.fetch_seconds + scan2.write_seconds) / max(hits, 1)
    print(f"client work: fetching {scan2.fetch_seconds:.2f} s ({scan2.fetches} round trips, "
          f"{fetch_per_trip * 1e3:.1f} ms each); merging and writing TSV "
          f"{scan2.client_seconds - scan2.fetch_seconds:.2f} + {scan2.write_seconds:.2f} s, "
          f"{client_per_hit * 1e9:.0f} ns per hit")

    # The command end to end, cluster start-up included.
    command = [sys.executable, "-m", "vokscan", "--quiet", str(motifs), str(fasta), "-o"]
    end_to_end = {"local": [], "dask": []}
    for _ in range(args.rounds):
        end_to_end["local"].append(timed(lambda: subprocess.run(command + [str(work / "cli_local.tsv")], check=True),
                                         work / "cli_local.tsv")[0])
        end_to_end["dask"].append(timed(lambda: subprocess.run(
            command + [str(work / "cli_dask.tsv"), "--dask", "local:2", "--dask-block-size", str(args.block)],
            check=True), work / "cli_dask.tsv")[0])
    same = (work / "cli_local.tsv").read_bytes() == (work / "cli_dask.tsv").read_bytes()
    local_cli, dask_cli = statistics.median(end_to_end["local"]), statistics.median(end_to_end["dask"])
    print(f"vok-scan end to end: local {local_cli:.2f} s, --dask local:2 {dask_cli:.2f} s "
          f"({dask_cli / local_cli:.2f}x), identical output: {same}")

    # A human genome × 1,000 motifs on 100 single-thread workers, from the measured per-task cost.
    # Per-task cost as CPU time of the one-worker run: on a shared machine the
    # tasks' wall times also count the time other processes had the CPU.
    rate = args.mbp * 1e6 * sum(lengths) / cpu_median["cluster1"]  # bases × matrix positions per CPU second
    print(f"scan rate: {rate / 1e9:.2f} G bases x matrix positions per CPU second "
          f"(tasks took {sum(computes_all) / args.rounds / cpu_median['cluster2']:.1f}x their CPU time in wall "
          f"time on this machine now)")
    positions = 1000 * float(np.mean(lengths))
    blocks = math.ceil(HUMAN_GENOME / args.block) + HUMAN_RECORDS
    groups = group_count([np.mean(lengths)] * 1000, args.block, blocks, 100)
    human_tasks = blocks * groups
    compute = HUMAN_GENOME * positions / rate
    scanning = (compute + human_tasks * overhead) / 100
    hits_human = hits / args.mbp / len(lengths) * HUMAN_GENOME / 1e6 * 1000
    # One client fetches and writes every line while the workers scan; at
    # worst one round trip per task.
    writing = hits_human * client_per_hit + human_tasks * fetch_per_trip
    print(f"human genome x 1,000 motifs on 100 workers: {human_tasks:,} tasks ({blocks} blocks x {groups} groups), "
          f"{compute / 3600:.1f} core-hours; the workers' share {scanning / 60:.1f} min, "
          f"the client writing {writing / 60:.1f} min, so expected {max(scanning, writing) / 60:.1f} min; "
          f"output {hits_human * (scan2.bytes_received + scan2.bytes_by_file) / max(hits, 1) / 1e9:.1f} GB "
          f"for {hits_human:.3g} hits, written at {1 / client_per_hit / 1e6:.1f} M hits/s, "
          f"sequence read by workers {HUMAN_GENOME * groups / 1e12:.2f} TB (each group reads its block)")


if __name__ == "__main__":
    main()
