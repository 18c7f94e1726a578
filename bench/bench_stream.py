"""The scan engine (vokscan._engine) through Python: speed against evaluate(),
peak memory against input size, and throughput on gzipped FASTA.

    python bench/bench_stream.py speed  [--megabases 20] [--rounds 3]
    python bench/bench_stream.py memory [--sizes 10,250]
    python bench/bench_stream.py gzip   [--megabases 20]
    python bench/bench_stream.py lines  [--megabases 10] [--matrices 879]

Matrices: the first 100 JASPAR 2024 CORE vertebrate matrices (written by
bench/jaspar_matrices.py, which needs pyjaspar) at css 0.9 / mss 0.85. The
worker pool follows RAYON_NUM_THREADS, for evaluate() and the engine alike.
"""
import argparse
import gzip
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
MATRICES = HERE.parent / "build" / "jaspar2024_core_vertebrates.transfac"
CSS, MSS = 0.9, 0.85


def jaspar_rows(count):
    """(id, rows) of the first `count` matrices of the TRANSFAC export."""
    if not MATRICES.exists():
        subprocess.run([sys.executable, str(HERE / "jaspar_matrices.py"), str(MATRICES)], check=True)
    import vok
    matrices = vok.parse_transfac(MATRICES.read_text())[:count]
    return [(m.name, np.array(m.matrix, dtype=np.float32)) for m in matrices]


def motif_set(rows):
    from vokscan import _engine
    return _engine.MotifSet(ids=[n for n, _ in rows], names=[""] * len(rows),
                            matrices=[r for _, r in rows], css=[CSS] * len(rows), mss=[MSS] * len(rows))


def random_letters(count, seed, lower=0.0, n_runs=0):
    rng = np.random.default_rng(seed)
    codes = rng.integers(0, 4, count, dtype=np.uint8)
    letters = np.frombuffer(b"ACGT", np.uint8)[codes].copy()
    if lower:
        # Lower-case stretches of 1 kbp covering about `lower` of the sequence.
        for start in rng.integers(0, count, int(count * lower / 1000)):
            letters[start:start + 1000] |= 32
    for start in rng.integers(0, count, n_runs):
        letters[start:start + int(rng.integers(1, 5000))] = ord("N")
    return letters.tobytes().decode()


def write_fasta(path, letters, compress=False):
    opener = gzip.open if compress else open
    with opener(path, "wt") as out:
        out.write(">chr1 benchmark\n")
        for at in range(0, len(letters), 1 << 16):
            chunk = letters[at:at + (1 << 16)]
            out.write("\n".join(chunk[i:i + 60] for i in range(0, len(chunk), 60)) + "\n")


def speed(args):
    import vok
    from vokscan import _engine
    rows = jaspar_rows(100)
    motifs = motif_set(rows)
    letters = random_letters(args.megabases * 1_000_000, 1)
    calc = vok.VokCalculator()
    for name, r in rows:
        calc.add_pwm(vok.PwmMatrix(name, [r[:, b].tolist() for b in range(4)]))
    record = vok.parse_fasta(">chr1\n")[0]
    record.seq = letters
    calc.add_fasta(record)
    calc.default_css_threshold, calc.default_mss_threshold = CSS, MSS

    cases = {
        "evaluate": lambda: len(calc.evaluate()),
        "engine, evaluate's strands": lambda: len(_engine.scan_text(
            motifs, "chr1", letters, strand="reversed", partial_windows=True)),
        "engine, reverse complement": lambda: len(_engine.scan_text(motifs, "chr1", letters)),
    }
    times = {name: [] for name in cases}
    hits = {}
    for _ in range(args.rounds):  # interleaved, so load changes hit every case alike
        for name, run in cases.items():
            start = time.perf_counter()
            hits[name] = run()
            times[name].append(time.perf_counter() - start)
    base = statistics.median(times["evaluate"])
    print(f"{len(rows)} JASPAR matrices x {args.megabases} Mbp in memory, css {CSS} mss {MSS}, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}, "
          f"median of {args.rounds} interleaved rounds")
    for name in cases:
        median = statistics.median(times[name])
        print(f"  {name:28s} {median:7.2f} s  {median / base:5.3f}x  {hits[name]} hits")


CHILD = """
import sys, time
sys.path.insert(0, {here!r})
from bench_stream import jaspar_rows, motif_set
from vokscan import _engine
motifs = motif_set(jaspar_rows({count}))
start = time.perf_counter()
writer = _engine.HitWriter("/dev/null", "tsv", motifs=motifs)
with _engine.FastaScan(motifs, [{path!r}], mask={mask}) as scan:
    for batch in scan:
        writer.write(batch)
writer.close()
# VmHWM: this process's own peak (ru_maxrss would include the parent's pages at fork).
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(time.perf_counter() - start, scan.bases_scanned, scan.hits_total, scan.bytes_read, peak)
"""


def run_child(path, count, mask=False):
    code = CHILD.format(here=str(HERE), count=count, path=str(path), mask=mask)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    seconds, bases, hits, read, peak_kib = out.stdout.split()
    return float(seconds), int(bases), int(hits), int(read), int(peak_kib)


def memory(args):
    sizes = [int(s) for s in args.sizes.split(",")]
    with tempfile.TemporaryDirectory() as tmp:
        for size in sizes:
            path = Path(tmp) / f"{size}.fa"
            write_fasta(path, random_letters(size * 1_000_000, size, lower=0.3, n_runs=size * 2))
            seconds, bases, hits, _, peak = run_child(path, args.matrices)
            print(f"{size:5d} Mbp FASTA, {args.matrices} matrices: peak RSS {peak / 1024:7.1f} MiB, "
                  f"{seconds:6.1f} s, {hits} hits")
            path.unlink()


def gzip_throughput(args):
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "in.fa.gz"
        write_fasta(path, random_letters(args.megabases * 1_000_000, 3, lower=0.3), compress=True)
        seconds, bases, hits, read, peak = run_child(path, 100)
        print(f"gzipped FASTA {read / 1e6:.1f} MB ({bases / 1e6:.0f} Mbp), 100 matrices: {seconds:.1f} s, "
              f"{read / 1e6 / seconds:.2f} MB/s of gzip input, {bases / 1e6 / seconds:.2f} Mbp/s, "
              f"{hits} hits, peak RSS {peak / 1024:.0f} MiB")


LINES_CHILD = """
import resource, sys, time
from vokscan import _engine
from vokscan.scanning import prepare_motifs
prepared = prepare_motifs({motifs!r}, pvalue=1e-4, pvalues=True)
if {count} < len(prepared.ids):
    prepared = prepare_motifs(prepared.records[:{count}], pvalue=1e-4, pvalues=True)
def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
def run(**lines):
    start = cpu()
    hits = size = 0
    with _engine.FastaScan(prepared.engine_set, [{path!r}], threads=1, **lines) as scan:
        for chunk in scan:
            hits += len(chunk)
            size += getattr(chunk, "nbytes", 0)
    return cpu() - start, hits, size
run()  # warm: tables, pages
plain, hits, _ = run()
tsv, _, size = run(format="tsv", pvalues=prepared.pvalues)
print(plain, tsv, hits, size)
"""


def lines(args):
    """CPU per hit of formatting TSV lines with the pvalue column on the
    workers: one thread, the same scan with and without lines."""
    motifs = HERE.parent / "build" / "jaspar2024_core_vertebrates.transfac"
    if not motifs.exists():
        subprocess.run([sys.executable, str(HERE / "jaspar_matrices.py"), str(motifs)], check=True)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "in.fa"
        write_fasta(path, random_letters(args.megabases * 1_000_000, 7, lower=0.3))
        code = LINES_CHILD.format(motifs=str(motifs), count=args.matrices, path=str(path))
        out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    plain, tsv, hits, size = (float(v) for v in out.stdout.split())
    print(f"{args.megabases} Mbp x {args.matrices} JASPAR matrices at p = 1e-4, one thread: "
          f"{hits:.0f} hits, {size / 1e6:.0f} MB of TSV")
    print(f"  scan, columns:              {plain:7.2f} s CPU")
    print(f"  scan, TSV lines with pvalue: {tsv:7.2f} s CPU")
    print(f"  formatting:                 {(tsv - plain) * 1e9 / hits:7.1f} ns CPU per hit "
          f"(beyond making columns)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("case", choices=["speed", "memory", "gzip", "lines"])
    parser.add_argument("--megabases", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--sizes", default="10,250")
    parser.add_argument("--matrices", type=int, default=None, help="(10 for memory, 879 for lines)")
    args = parser.parse_args()
    if args.matrices is None:
        args.matrices = 879 if args.case == "lines" else 10
    {"speed": speed, "memory": memory, "gzip": gzip_throughput, "lines": lines}[args.case](args)


if __name__ == "__main__":
    main()
