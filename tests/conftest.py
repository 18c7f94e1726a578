import os
import signal
import subprocess
import sys
import textwrap

import pytest

import vok
from reference_model import columns

# A run started in the background has SIGINT ignored, and its children would
# inherit that: the tests that interrupt a child Python would then wait for
# a KeyboardInterrupt that never comes.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# Subprocesses must size the worker pool from what each test sets.
POOL_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


@pytest.fixture(scope="session")
def panic_exception():
    """The class of internal failures, obtained by provoking one."""
    try:
        vok.PwmMatrix("x", [[1, 2], [3], [4, 5], [6, 7]])
    except BaseException as exc:  # noqa: B036 - the class is what we want
        return type(exc)
    pytest.fail("columns of unequal length were accepted")


def _make_fasta(name="s1", seq="ACGT"):
    record = vok.parse_fasta(">x\n")[0]
    record.name = name
    record.seq = seq
    return record


def _make_profile(id="M1", css=0.0, mss=0.0):
    record = vok.parse_profile("1 0 0 A x\n")[0]
    record.id = id
    record.css = css
    record.mss = mss
    return record


def _make_pwm(name, rows):
    return vok.PwmMatrix(name, columns(rows) if rows else [[], [], [], []])


def _make_hit():
    calc = vok.VokCalculator()
    calc.add_pwm(_make_pwm("M1", [[10, 0, 0, 0], [0, 10, 0, 0], [0, 0, 10, 0],
                                  [0, 0, 0, 10], [10, 0, 0, 0]]))
    calc.add_fasta(_make_fasta("chr1", "ACGTAACGTA"))
    hits = calc.evaluate()
    assert hits, "a scan at zero thresholds found nothing"
    return hits[0]


@pytest.fixture
def make_fasta():
    return _make_fasta


@pytest.fixture
def make_profile():
    return _make_profile


@pytest.fixture
def make_pwm():
    return _make_pwm


@pytest.fixture
def make_hit():
    return _make_hit


@pytest.fixture
def hit():
    return _make_hit()


@pytest.fixture
def run_python():
    """Run a Python snippet in a fresh interpreter; returns CompletedProcess."""

    def run(code, env=None, timeout=60):
        full_env = {k: v for k, v in os.environ.items() if k not in POOL_VARIABLES}
        full_env.update(env or {})
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, env=full_env,
                              timeout=timeout)

    return run
