#!/usr/bin/env python3
"""A human-sized genome end to end: vok-scan over a seeded random gzipped
FASTA of 3.1 Gbp (24 records of human chromosome proportions, soft-masked
stretches and N runs) with the 879 JASPAR matrices at p = 1e-4, both strands.
Each record is its header and copies of one 10 Mbp stretch, each piece a
gzip member of its own (as bgzip writes them), so that the file is made in
seconds rather than by compressing 3 GB; the scan does the same work.

    python bench/bench_genome.py [--megabases 3100] [--threads 0] [--motifs FILE]

The input is written once to build/bench_genome/ (kept out of git; about
0.9 GB at 3.1 Gbp). The command's standard output goes into a pipe that this
script drains and counts (tens of GB of TSV never touch the disk); its
standard error is a pseudo-terminal, so the progress bar is drawn, and each
of its refreshes is read with the time it arrived. Reported: wall time, CPU
time, peak resident memory (wait4), output size, and how far the bar's
remaining time was from the truth over the run (after the first minute).
Wall figures mean something only on a quiet machine: the load is printed.
"""

import argparse
import gzip
import os
import pty
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "bench_genome"
MOTIFS = ROOT / "build" / "jaspar2024_core_vertebrates.transfac"
# Human chromosome lengths (GRCh38, Mbp), scaled to the size asked for.
CHROMOSOMES = [248.9, 242.2, 198.3, 190.2, 181.5, 170.8, 159.3, 145.1, 138.4, 133.8, 135.1, 133.3,
               114.4, 107.0, 102.0, 90.3, 83.3, 80.4, 58.6, 64.4, 46.7, 50.8, 156.0, 57.2]
NAMES = [f"chr{i}" for i in range(1, 23)] + ["chrX", "chrY"]
LINE = 60
STRETCH = 10_002_000  # bases of the repeated stretch; a multiple of LINE
ETA = re.compile(rb"\[(\d+:\d+(?::\d+)?)<(\d+:\d+(?::\d+)?)")


def random_stretch(bases: int, seed: int) -> bytes:
    """Random letters in lines; every 100 kbp a 10 kbp lower-case stretch,
    and 50 kbp of N in the middle."""
    rng = np.random.default_rng(seed)
    seq = np.frombuffer(b"ACGT", dtype=np.uint8)[rng.integers(0, 4, bases)]
    pos = np.arange(bases)
    seq = np.where(pos % 100_000 < 10_000, seq + 32, seq).astype(np.uint8)
    seq[(pos >= bases // 2) & (pos < bases // 2 + 50_000)] = ord("N")
    rows = seq.reshape(-1, LINE)
    return np.hstack([rows, np.full((rows.shape[0], 1), ord("\n"), np.uint8)]).tobytes()


def write_genome(path: Path, megabases: int, seed: int = 2024) -> None:
    if path.exists():
        return
    stretch = gzip.compress(random_stretch(STRETCH, seed), compresslevel=6)
    scale = megabases * 1e6 / sum(CHROMOSOMES)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as out:
        for name, mbp in zip(NAMES, CHROMOSOMES):
            out.write(gzip.compress(f">{name} random, seeded\n".encode()))
            for _ in range(max(1, round(mbp * scale / STRETCH))):
                out.write(stretch)
    tmp.rename(path)


def seconds_of(text: bytes) -> int:
    parts = [int(p) for p in text.split(b":")]
    value = 0
    for part in parts:
        value = value * 60 + part
    return value


def run(args, motifs, path):
    """Runs vok-scan; returns (wall s, cpu s, peak MiB, output bytes, [(t, eta s)])."""
    argv = [shutil.which("vok-scan") or str(Path(sys.executable).with_name("vok-scan")), "--threads", str(args.threads), str(motifs), str(path)]
    out_read, out_write = os.pipe()
    master, slave = pty.openpty()
    start = time.monotonic()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=[
        (os.POSIX_SPAWN_DUP2, out_write, 1), (os.POSIX_SPAWN_DUP2, slave, 2)])
    os.close(out_write)
    os.close(slave)
    counted = [0]

    def drain():
        while block := os.read(out_read, 1 << 20):
            counted[0] += len(block)

    etas = []

    def watch():
        pending = b""
        while True:
            try:
                block = os.read(master, 1 << 16)
            except OSError:  # the child closed the terminal
                return
            if not block:
                return
            now = time.monotonic() - start
            pending += block
            for match in ETA.finditer(pending):
                etas.append((now, seconds_of(match.group(2))))
            pending = pending[-200:]

    threads = [threading.Thread(target=drain), threading.Thread(target=watch)]
    for thread in threads:
        thread.start()
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
    threads[0].join()
    os.close(master)
    threads[1].join()
    os.close(out_read)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"vok-scan failed with status {os.waitstatus_to_exitcode(status)}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, counted[0], etas


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--megabases", type=int, default=3100, help="genome size (3100)")
    parser.add_argument("--threads", type=int, default=0, help="vok-scan --threads (0: all cores)")
    parser.add_argument("--motifs", type=Path, default=MOTIFS, help="motif file (JASPAR 2024 CORE vertebrates)")
    options = parser.parse_args()
    if not options.motifs.exists():
        subprocess.run([sys.executable, str(ROOT / "bench" / "jaspar_matrices.py"), str(options.motifs)],
                       check=True)
    WORK.mkdir(parents=True, exist_ok=True)
    path = WORK / f"genome_{options.megabases}M.fa.gz"
    started = time.monotonic()
    write_genome(path, options.megabases)
    if time.monotonic() - started > 1:
        print(f"wrote {path} ({path.stat().st_size / 1e9:.2f} GB) in {time.monotonic() - started:.0f} s")

    load_before = os.getloadavg()[0]
    wall, cpu, peak, size, etas = run(options, options.motifs, path)
    load_after = os.getloadavg()[0]
    print(f"{options.megabases} Mbp gzip ({path.stat().st_size / 1e9:.2f} GB) x {options.motifs.name}, "
          f"p = 1e-4, both strands, --threads {options.threads}; load {load_before:.1f} before, "
          f"{load_after:.1f} after, {os.cpu_count()} cores")
    print(f"  wall {wall:7.1f} s   CPU {cpu:7.1f} s   peak RSS {peak:6.1f} MiB   output {size / 1e9:.2f} GB")
    late = [(t, eta, wall - t) for t, eta in etas if t >= 60 and wall - t >= 1]
    if late:
        errors = [abs(eta - truth) / truth for _, eta, truth in late]
        steady = [abs(eta - truth) / truth for _, eta, truth in late if truth >= 20]
        print(f"  progress bar after the first minute: {len(late)} refreshes; remaining time off by "
              f"at most {max(abs(eta - truth) for _, eta, truth in late):.0f} s; relative error "
              f"median {100 * statistics.median(errors):.1f} %, max {100 * max(errors):.1f} % "
              f"(max {100 * max(steady, default=0):.1f} % while 20 s or more remained)")
        for t, eta, truth in late[:: max(1, len(late) // 8)]:
            print(f"    at {t:6.1f} s: bar says {eta:5d} s left, {truth:6.1f} s were")
    else:
        print("  the run took less than a minute: no ETA figures")


if __name__ == "__main__":
    main()
