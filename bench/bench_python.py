"""End-to-end timings through the Python face of vok.

Runs each case in a fresh subprocess and reports the median of several
repetitions. "peak growth" is how far the process's peak resident memory rose
above its resident memory just before the timed call (the peak is reset there),
so the input's own memory is not counted.

    python bench/bench_python.py            # all cases
    python bench/bench_python.py fasta      # cases whose name contains "fasta"
"""
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile

REPEATS = 5

CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


def reset_peak():
    """Resets the peak resident size and returns the current one, in KiB."""
    with open("/proc/self/clear_refs", "w") as handle:
        handle.write("5")
    return memory_kib("VmRSS")


def memory_kib(field):
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def random_bases(count, seed):
    rng = random.Random(seed)
    return "".join(rng.choices("ACGT", k=count))


def fasta_text(megabytes):
    letters = random_bases(1_000_000, 1) * megabytes
    lines = [letters[i:i + 60] for i in range(0, len(letters), 60)]
    return ">chr_bench benchmark record\n" + "\n".join(lines) + "\n"


def transfac_text(matrices):
    rng = random.Random(2)
    blocks = []
    for k in range(matrices):
        rows = "".join(
            f"{i + 1:02d}  " + "  ".join(str(rng.randint(0, 50)) for _ in range(4)) + "\n"
            for i in range(rng.randint(10, 20)))
        blocks.append(f"AC  M{k:05d}\nXX\nID  BENCH_{k:05d}\nXX\nP0      A      C      G      T\n{rows}XX\n//\n")
    return "".join(blocks)


@case
def parse_fasta_100mb():
    import time, vok
    text = fasta_text(100)
    before = reset_peak()
    start = time.perf_counter()
    records = vok.parse_fasta(text)
    elapsed = time.perf_counter() - start
    assert len(records) == 1
    return {"seconds": elapsed, "megabytes": len(text) / 1e6, "growth_kib": memory_kib("VmHWM") - before}


def time_file_method(method, text, **extra):
    """Times one calculator file method on `text` written to a temporary file."""
    import time, vok
    with tempfile.NamedTemporaryFile("w", delete=False) as handle:
        handle.write(text)
        path = handle.name
    try:
        size = os.path.getsize(path)
        calculator = vok.VokCalculator()
        before = reset_peak()
        start = time.perf_counter()
        getattr(calculator, method)(path)
        elapsed = time.perf_counter() - start
        growth = memory_kib("VmHWM") - before
    finally:
        os.unlink(path)
    return {"seconds": elapsed, "megabytes": size / 1e6, "growth_kib": growth, **extra}


@case
def add_from_fasta_file_100mb():
    return time_file_method("add_from_fasta_file", fasta_text(100))


@case
def add_from_transfac_file_10000():
    return time_file_method("add_from_transfac_file", transfac_text(10_000), matrices=10_000)


@case
def evaluate_output_cost():
    """Zero thresholds: every candidate is a hit, so the cost is the hits'."""
    import time, vok
    rng = random.Random(3)
    calculator = vok.VokCalculator()
    for k in range(4):
        length = 12
        calculator.add_pwm(vok.PwmMatrix(f"M{k}", [[rng.random() for _ in range(length)] for _ in range(4)]))
    calculator.add_fasta(vok.parse_fasta(">s\n" + random_bases(1_000_000, 4))[0])
    before = reset_peak()
    start = time.perf_counter()
    hits = calculator.evaluate()
    elapsed = time.perf_counter() - start
    return {"seconds": elapsed, "hits": len(hits), "growth_kib": memory_kib("VmHWM") - before}


def run_case(name):
    print(json.dumps(CASES[name]()))


def report(name, runs):
    seconds = statistics.median(run["seconds"] for run in runs)
    growth = statistics.median(run["growth_kib"] for run in runs) * 1024
    first = runs[0]
    line = f"{name:30s} median {seconds * 1e3:7.1f} ms  peak growth {growth / 2**20:7.1f} MiB"
    if "megabytes" in first:
        line += f"  {first['megabytes'] / seconds:8.1f} MB/s"
    if "matrices" in first:
        line += f"  {first['matrices'] / seconds:10.0f} matrices/s"
    if "hits" in first:
        line += f"  {first['hits']} hits  {seconds / first['hits'] * 1e9:6.1f} ns/hit"
        line += f"  {growth / first['hits']:5.0f} bytes/hit"
    print(line, flush=True)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--case":
        run_case(sys.argv[2])
        return
    wanted = [name for name in CASES if len(sys.argv) < 2 or sys.argv[1] in name]
    for name in wanted:
        runs = []
        for _ in range(REPEATS):
            output = subprocess.run([sys.executable, __file__, "--case", name],
                                    check=True, capture_output=True, text=True).stdout
            runs.append(json.loads(output.strip().splitlines()[-1]))
        report(name, runs)


if __name__ == "__main__":
    main()
