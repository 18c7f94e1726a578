"""Interpreter exit while a daemon thread is inside a scan: the process ends
normally, never with an abort from inside the native module."""

import random
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("vokscan._engine")

MOTIFS = Path(__file__).resolve().parents[2] / "examples" / "data" / "jaspar_core_vertebrates.transfac"

# The daemon thread scans for ever; the main thread leaves once the scan runs.
# The object torn down last sleeps, which releases the interpreter lock while
# the interpreter finalises: the moment a scanning thread would try to take it
# back.
CHILD = textwrap.dedent("""
    import sys, threading, time
    import vokscan
    motifs, genome = sys.argv[1:3]
    running = threading.Event()
    def scan_for_ever():
        while True:
            for _ in vokscan.scan(motifs, genome, css=0.0, mss=0.6, as_frame=False):
                running.set()
    threading.Thread(target=scan_for_ever, daemon=True).start()
    running.wait()
    class SlowTeardown:
        def __del__(self):
            time.sleep(0.2)
    keep = SlowTeardown()
""")


def test_exit_during_a_daemon_threads_scan_ends_normally(tmp_path):
    bases = "".join(random.Random(8).choices("ACGT", k=1_000_000))
    genome = tmp_path / "genome.fa"
    genome.write_text(">chr1\n" + "\n".join(bases[i:i + 80] for i in range(0, len(bases), 80)) + "\n")
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", CHILD, str(MOTIFS), str(genome)],
                              capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")


def test_a_forked_child_exits_normally():
    """A child forked by multiprocessing (the default start method here) runs
    the module's exit callback too; it must not wait for threads of the parent."""
    code = textwrap.dedent("""
        import os, sys
        import vokscan
        list(vokscan.scan(sys.argv[1], {"r": "ACGT" * 50}, css=0.0, mss=0.6, as_frame=False))
        child = os.fork()
        if child == 0:
            sys.exit(0)
        print(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))
    """)
    done = subprocess.run([sys.executable, "-c", code, str(MOTIFS)], capture_output=True, text=True,
                          timeout=30)
    assert (done.returncode, done.stdout, done.stderr) == (0, "0\n", "")
