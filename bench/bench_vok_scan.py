#!/usr/bin/env python3
"""End-to-end figures of the vok-scan command: peak memory against input
size, and throughput on gzipped FASTA with where the time goes.

    python bench/bench_vok_scan.py [--sizes 10,250] [--gzip-size 50] [--motifs FILE]
    python bench/bench_vok_scan.py --scaling 100 [--motifs FILE] [--rounds 3]

Input is random sequence written to build/bench_scan/ (upper case with
lower-case stretches and N runs, 60 bases per line). Each run is a child
process; its peak resident memory comes from wait4(). Time splits:
decompression (zlib alone), reading and the core-word scan with no
candidate passing (--css 2), and the same at the default thresholds, which
adds the full scores of passing candidates and formatting the hits (to
/dev/null). Medians of --rounds runs; on a loaded machine use more rounds.

--scaling N: wall time of N Mbp at the default thresholds with --threads 1,
2 and 0 (all cores), rounds rotated, and the speed-up over one thread; the
lines are formatted by the scan's workers, so the writer should not be
what stops the scaling. The load average is printed with the figures.
"""

import argparse
import gzip
import os
import shutil
import statistics
import subprocess
import sys
import time
import zlib
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "bench_scan"
MOTIFS = ROOT / "examples" / "data" / "jaspar_core_vertebrates.transfac"
LINE = 60
CHUNK = 6_000_000  # bases generated at a time; a multiple of LINE


def write_fasta(path: Path, bases: int, seed: int = 1) -> None:
    """Random bases; every 50 kbp a 5 kbp lower-case stretch and a 1 kbp N run."""
    if path.exists() and path.stat().st_size > bases:
        return
    rng = np.random.default_rng(seed)
    letters = np.frombuffer(b"ACGT", dtype=np.uint8)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as out:
        out.write(b">chrBench random, soft-masked stretches and N runs\n")
        done = 0
        while done < bases:
            n = min(CHUNK, bases - done + (-(bases - done)) % LINE)  # whole lines only
            seq = letters[rng.integers(0, 4, n)]
            pos = np.arange(done, done + n)
            seq = np.where((pos % 50_000) < 5_000, seq + 32, seq).astype(np.uint8)
            seq[(pos % 50_000 >= 20_000) & (pos % 50_000 < 21_000)] = ord("N")
            rows = seq.reshape(-1, LINE)
            rows = np.hstack([rows, np.full((rows.shape[0], 1), ord("\n"), np.uint8)])
            out.write(rows.tobytes())
            done += n
    tmp.rename(path)


def run(args):
    """(seconds, peak resident MiB) of one vok-scan child."""
    # posix_spawn, not fork: Linux counts the pages a forked copy of this
    # process had before exec in the child's peak RSS.
    argv = [shutil.which("vok-scan"), "--quiet"] + [str(a) for a in args]
    devnull = os.open(os.devnull, os.O_WRONLY)
    start = time.perf_counter()
    try:
        pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=[
            (os.POSIX_SPAWN_DUP2, devnull, 1)])
    finally:
        os.close(devnull)
    _, status, usage = os.wait4(pid, 0)
    seconds = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"vok-scan {' '.join(map(str, args))} failed with {code}")
    return seconds, usage.ru_maxrss / 1024


def median_run(args, rounds):
    results = [run(args) for _ in range(rounds)]
    return statistics.median(r[0] for r in results), max(r[1] for r in results)


def scaling(options):
    path = WORK / f"random_{options.scaling}M.fa"
    write_fasta(path, options.scaling * 1_000_000)
    settings = ["1", "2", "0"]
    times = {threads: [] for threads in settings}
    load = [os.getloadavg()[0]]
    for round_index in range(options.rounds):
        for threads in settings[round_index % 3:] + settings[:round_index % 3]:  # rotated
            times[threads].append(run(["--threads", threads, options.motifs, path])[0])
        load.append(os.getloadavg()[0])
    one = statistics.median(times["1"])
    print(f"{options.scaling} Mbp x {options.motifs.name} at the default thresholds, {os.cpu_count()} cores, "
          f"load {min(load):.1f}..{max(load):.1f}; medians of {options.rounds} rotated rounds")
    for threads in settings:
        median = statistics.median(times[threads])
        print(f"  --threads {threads}: {median:7.2f} s wall, {one / median:4.2f}x one thread")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="10,250", help="Mbp of the memory runs (10,250)")
    parser.add_argument("--gzip-size", type=int, default=50, help="Mbp of the gzip runs (50)")
    parser.add_argument("--motifs", type=Path, default=MOTIFS, help="motif file (bundled 8)")
    parser.add_argument("--rounds", type=int, default=3, help="runs per figure (3)")
    parser.add_argument("--scaling", type=int, metavar="MBP", help="thread scaling at MBP megabases")
    options = parser.parse_args()
    WORK.mkdir(parents=True, exist_ok=True)
    if options.scaling:
        scaling(options)
        return

    print(f"motifs: {options.motifs.name}")
    for mbp in [int(s) for s in options.sizes.split(",") if s]:
        path = WORK / f"random_{mbp}M.fa"
        write_fasta(path, mbp * 1_000_000)
        seconds, peak = median_run([options.motifs, path], 1)
        print(f"memory: {mbp:4d} Mbp plain FASTA: peak RSS {peak:7.1f} MiB, {seconds:6.2f} s")

    mbp = options.gzip_size
    plain = WORK / f"random_{mbp}M.fa"
    write_fasta(plain, mbp * 1_000_000)
    packed = WORK / f"random_{mbp}M.fa.gz"
    if not packed.exists():
        with open(plain, "rb") as source, gzip.open(packed, "wb", compresslevel=6) as sink:
            while block := source.read(1 << 24):
                sink.write(block)
    size_gz, size_plain = packed.stat().st_size, plain.stat().st_size

    inflate = []
    for _ in range(options.rounds):
        start = time.perf_counter()
        decompressor = zlib.decompressobj(wbits=31)
        with open(packed, "rb") as source:
            while block := source.read(1 << 20):
                decompressor.decompress(block)
        inflate.append(time.perf_counter() - start)
    t_inflate = statistics.median(inflate)
    t_plain_none, _ = median_run(["--css", 2, options.motifs, plain], options.rounds)
    t_gz_none, _ = median_run(["--css", 2, options.motifs, packed], options.rounds)
    t_gz_default, _ = median_run([options.motifs, packed], options.rounds)
    t_startup, _ = median_run(["--css", 2, options.motifs, ROOT / "examples" / "data" /
                               "lambda_virus.fa"], options.rounds)
    hits = subprocess.run(["vok-scan", "--quiet", "--no-header", options.motifs, packed],
                          capture_output=True).stdout.count(b"\n")
    print(f"gzip: {mbp} Mbp, {size_plain / 1e6:.1f} MB plain, {size_gz / 1e6:.1f} MB gzipped, "
          f"{hits} hits at the default thresholds")
    print(f"  end to end at the defaults:     {t_gz_default:6.2f} s = "
          f"{size_gz / 1e6 / t_gz_default:6.1f} MB/s gzipped input, "
          f"{size_plain / 1e6 / t_gz_default:6.1f} MB/s of FASTA")
    print(f"  start-up (lambda, no hits):     {t_startup:6.2f} s")
    print(f"  zlib inflate alone:             {t_inflate:6.2f} s")
    print(f"  plain, read + core scan only:   {t_plain_none:6.2f} s")
    print(f"  gzipped, read + core scan only: {t_gz_none:6.2f} s "
          f"(decompression adds {t_gz_none - t_plain_none:+.2f} s)")
    print(f"  full scores + writing the hits: {t_gz_default - t_gz_none:+6.2f} s")


if __name__ == "__main__":
    main()
