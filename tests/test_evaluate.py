import itertools
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import vok
import reference_model as ref
from reference_model import hit_tuple

CSS_BEST = [[10, 0, 0, 0], [0, 10, 0, 0], [0, 0, 10, 0], [0, 10, 0, 0], [10, 0, 0, 0]]  # ACGCA
UNIFORM = [[1, 1, 1, 1]] * 6  # no information: building its model fails


@pytest.fixture
def build(make_pwm, make_fasta, make_profile):
    """A calculator holding the given matrices, sequences and cut-offs."""

    def make(matrices, sequences, profiles=(), defaults=(0.0, 0.0)):
        calc = vok.VokCalculator()
        for name, rows in matrices:
            calc.add_pwm(make_pwm(name, rows))
        for name, seq in sequences:
            calc.add_fasta(make_fasta(name, seq))
        for identifier, css, mss in profiles:
            calc.add_profile(make_profile(identifier, css, mss))
        calc.default_css_threshold, calc.default_mss_threshold = defaults
        return calc

    return make


def random_rows(rng, length, kind="counts"):
    if kind == "counts":
        return [[rng.randrange(0, 21) for _ in range(4)] for _ in range(length)]
    return [[ref.f32(rng.random()) for _ in range(4)] for _ in range(length)]


def random_seq(rng, n):
    return "".join(rng.choice("ACGT") for _ in range(n))


def expected(matrices, sequences, profiles=(), defaults=(0.0, 0.0)):
    return ref.evaluate(matrices, sequences, {p[0]: p[1:] for p in profiles}, defaults)


@pytest.mark.parametrize("matrices, sequences", [
    ([], []),
    ([("M", CSS_BEST), ("U", UNIFORM)], []),  # a matrix is built only to scan something
    ([], [("s", "ACGCA")]),
    ([("M", CSS_BEST)], [("s", "ACGC"), ("e", "")]),
    ([("M", CSS_BEST[:4]), ("E", [])], [("s", "ACGCAACGCA")]),
])
def test_nothing_to_report(build, matrices, sequences):
    calc = build(matrices, sequences)
    assert calc.evaluate() == [] and calc.evaluate() == []  # the second with the kept models


def test_result_order_matrix_then_strand_then_sequence(build):
    rng = random.Random(11)
    matrices = [("M1", random_rows(rng, 5)), ("M2", random_rows(rng, 7))]
    sequences = [("S1", random_seq(rng, 12)), ("S2", random_seq(rng, 9))]
    hits = [hit_tuple(h) for h in build(matrices, sequences).evaluate()]
    groups = [key for key, _ in itertools.groupby(hits, key=lambda h: (h[1], h[0], h[3]))]
    assert groups == [("M1", "S1", True), ("M1", "S2", True), ("M1", "S1", False),
                      ("M1", "S2", False), ("M2", "S1", True), ("M2", "S2", True),
                      ("M2", "S1", False), ("M2", "S2", False)]
    for (_, _, forward), group in itertools.groupby(hits, key=lambda h: (h[1], h[0], h[3])):
        positions = [h[2] for h in group]
        assert positions == sorted(positions, reverse=not forward)
        assert len(set(positions)) == len(positions)
    assert hits == expected(matrices, sequences)


@pytest.mark.parametrize("rows, seq, hits", [
    # The reverse record of AAAAACCCCC reads CCCCCAAAAA: its core at p = 0 is
    # the forward bases 5..9.
    ([[0, 10, 0, 0]] * 5, "AAAAACCCCC",
     [("s", "M", 5, True, 1.0, 1.0, 5), ("s", "M", 5, False, 1.0, 1.0, 5)]),
    (CSS_BEST, "ACGCA", [("s", "M", 0, True, 1.0, 1.0, 5), ("s", "M", 0, False, 1.0, 1.0, 5)]),
    (CSS_BEST, "TTACGCATT", [("s", "M", 2, True, 1.0, 1.0, 5), ("s", "M", 2, False, 1.0, 1.0, 5)]),
    (CSS_BEST, "ACGCC", []),
])
def test_best_word_positions_on_both_strands(build, rows, seq, hits):
    calc = build([("M", rows)], [("s", seq)], defaults=(1.0, 0.0))
    result = calc.evaluate()
    assert [hit_tuple(h) for h in result] == hits
    if hits:
        assert repr(result[0]) == ("Vok (sequence: s, matrix: M, pos: %d, strand: +, css: 1,"
                                   " mss: 1, len: 5)" % hits[0][2])


def test_profile_replaces_both_defaults_for_its_matrix_only(build):
    matrices = [("M", CSS_BEST), ("N", CSS_BEST)]
    sequences = [("s", "ACGCA")]
    cases = [
        ([], (0.0, 0.0), ["M", "M", "N", "N"]),
        ([], (1.5, 0.0), []),
        ([("M", 0.0, 0.0)], (0.0, 1.5), ["M", "M"]),
        ([("M", 1.5, 0.0)], (0.0, 0.0), ["N", "N"]),
        ([("m", 1.5, 1.5), ("M ", 1.5, 1.5), ("X", 1.5, 1.5)], (0.0, 0.0),
         ["M", "M", "N", "N"]),
    ]
    for profiles, defaults, names in cases:
        hits = build(matrices, sequences, profiles, defaults).evaluate()
        assert [h.matrix for h in hits] == names, (profiles, defaults)


def test_duplicate_matrix_reports_its_hits_twice(build):
    rng = random.Random(3)
    rows = random_rows(rng, 6)
    sequences = [("s", random_seq(rng, 30))]
    once = [hit_tuple(h) for h in build([("M", rows)], sequences).evaluate()]
    twice = [hit_tuple(h) for h in build([("M", rows), ("M", rows)], sequences).evaluate()]
    assert once and twice == once + once


@pytest.mark.parametrize("seed", range(16))
def test_scores_match_reference_model(build, seed):
    rng = random.Random(seed)
    matrices = []
    for index in range(rng.randrange(1, 5)):
        length = rng.choice([3, 5, 5, 6, 8, 10, 12, 15])
        matrices.append((f"M{index}", random_rows(rng, length, rng.choice(["counts", "freq"]))))
    # Short records exercise windows cut by the end (n < L, n + 5 = L, ...).
    sequences = [(f"S{i}", random_seq(rng, rng.choice([0, 4, 5, 7, 10, 20, 64])))
                 for i in range(rng.randrange(1, 4))]
    defaults = (rng.choice([0.0, 0.5, 0.8, 0.95]), rng.choice([0.0, 0.5, 0.8]))
    profiles = [(name, rng.random(), rng.random()) for name, _ in matrices if rng.random() < 0.3]
    calc = build(matrices, sequences, profiles, defaults)
    hits = [hit_tuple(h) for h in calc.evaluate()]
    assert hits == expected(matrices, sequences, profiles, defaults), f"seed {seed}"


@pytest.mark.parametrize("bad_rows, message", [
    (UNIFORM, "Division resulted in NaN"),
    ([[-0.02, 1, 1, 1]] + CSS_BEST, "Multiplication resulted in NaN"),
    # Normalisation runs before the length check.
    ([[float("inf"), 0, 0, 0]] * 4, "Division resulted in NaN"),
])
def test_nan_in_scoring_fails_whole_call(build, panic_exception, bad_rows, message):
    calc = build([("good", CSS_BEST), ("bad", bad_rows), ("good2", CSS_BEST)],
                 [("s", "ACGCAACGCA")])
    before = repr(calc)
    for _ in range(2):
        with pytest.raises(panic_exception) as info:
            calc.evaluate()
        assert info.value.args == (message,)
        assert repr(calc) == before
    assert len(build([("good", CSS_BEST)], [("s", "ACGCA")]).evaluate()) == 2


def test_evaluate_leaves_calculator_and_reflects_later_changes(build, make_fasta):
    calc = build([("M", CSS_BEST)], [("s", "ACGCA")], defaults=(1.0, 0.0))
    before = repr(calc)
    first = calc.evaluate()
    original = [hit_tuple(h) for h in first]
    first[0].pos, first[0].matrix = 99, "changed"
    assert [hit_tuple(h) for h in calc.evaluate()] == original
    assert repr(calc) == before
    calc.add_fasta(make_fasta("t", "GGACGCAGG"))
    assert [(h.sequence, h.pos, h.strand) for h in calc.evaluate()] == [
        ("s", 0, True), ("t", 2, True), ("s", 0, False), ("t", 2, False)]
    calc.default_css_threshold = 1.5
    assert calc.evaluate() == []


# Evaluation keeps the models it built for the next call; every change that
# touches a matrix or its cut-offs must still be seen.
@pytest.mark.parametrize("change", ["add_pwm", "same_name_other_values", "add_profile", "default_mss", "default_css"])
def test_kept_models_follow_every_change(build, make_pwm, make_profile, change):
    rng = random.Random(5)
    matrices = [("M", random_rows(rng, 9)), ("N", random_rows(rng, 12))]
    sequences = [("s", random_seq(rng, 3000))]
    profiles, defaults = [("N", 0.7, 0.6)], (0.75, 0.7)
    calc = build(matrices, sequences, profiles, defaults)
    calc.evaluate()
    if change == "add_pwm":
        matrices.append(("P", random_rows(rng, 7)))
    elif change == "same_name_other_values":
        matrices.append(("M", random_rows(rng, 9)))
    elif change == "add_profile":
        profiles.append(("M", 0.6, 0.55))
    elif change == "default_mss":
        defaults = (0.75, 0.6)
    else:
        defaults = (0.6, 0.7)
    if change in ("add_pwm", "same_name_other_values"):
        calc.add_pwm(make_pwm(*matrices[-1]))
    elif change == "add_profile":
        calc.add_profile(make_profile(*profiles[-1]))
    else:
        calc.default_css_threshold, calc.default_mss_threshold = defaults
    again = [hit_tuple(h) for h in calc.evaluate()]
    assert again == expected(matrices, sequences, profiles, defaults)
    assert again == [hit_tuple(h) for h in build(matrices, sequences, profiles, defaults).evaluate()]


def test_hit_objects_survive_other_results_being_dropped(build):
    # Hit objects share slabs of memory; results freed in any order, partly
    # or whole, must leave the others intact and their memory reusable.
    rng = random.Random(6)
    calc = build([("A", [[10, 1, 1, 1]] * 6)], [("s", random_seq(rng, 20_000))], defaults=(0.0, 0.0))
    results = [calc.evaluate() for _ in range(4)]
    want = [hit_tuple(h) for h in results[0]]
    assert len(want) > 30_000  # several slabs' worth
    del results[1][::2], results[2]
    results.append(calc.evaluate())
    survivors = results[1]
    del results[1]
    for hits in results:
        assert [hit_tuple(h) for h in hits] == want
    assert [hit_tuple(h) for h in survivors] == want[1::2]
    hit = results[0][7]
    hit.sequence, hit.matrix = type("Name", (str,), {})("renamed"), "x"
    assert (type(hit.sequence), hit.sequence, repr(hit).startswith("Vok (sequence: renamed, matrix: x,")) == (
        str, "renamed", True)


BUILD_SCRIPT = r'''
import random
import vok

def build_calculator(seed):
    rng = random.Random(seed)
    calc = vok.VokCalculator()
    for i in range(24):
        length = rng.choice([4, 5, 6, 8, 10, 12, 15])
        columns = [[rng.randrange(0, 20) for _ in range(length)] for _ in range(4)]
        calc.add_pwm(vok.PwmMatrix(f"M{i}", columns))
    for j in range(3):
        seq = "".join(rng.choice("ACGT") for _ in range(rng.randrange(50, 400)))
        calc.add_fasta(vok.parse_fasta(f">S{j}\n{seq}\n")[0])
    calc.default_css_threshold = 0.6
    calc.default_mss_threshold = 0.5
    return calc

def dump(hits):
    return repr([(h.sequence, h.matrix, h.pos, h.strand, h.css.hex(), h.mss.hex(), h.len)
                 for h in hits])
'''


def test_result_does_not_depend_on_pool_size(run_python):
    namespace = {}
    exec(BUILD_SCRIPT, namespace)
    local = namespace["dump"](namespace["build_calculator"](7).evaluate())
    assert local != "[]"
    for threads in ("1", "8"):
        result = run_python(BUILD_SCRIPT + "print(dump(build_calculator(7).evaluate()))",
                            env={"RAYON_NUM_THREADS": threads})
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == local, f"RAYON_NUM_THREADS={threads}"


THREAD_COUNT_SCRIPT = r'''
import os
def tasks():
    return len(os.listdir("/proc/self/task"))
start = tasks()
''' + BUILD_SCRIPT + r'''
calc = build_calculator(1)
vok.parse_transfac("ID x\n01 1 2 3 4\n")
vok.parse_profile("1 0.5 0.5 A x\n")
before = tasks()
calc.evaluate()
first = tasks()
build_calculator(2).evaluate()
calc.evaluate()
print(start, before, first, tasks())
'''


# The precedence rules are unit-tested with the pool size parser.
@pytest.mark.parametrize("env, workers", [
    ({"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "5"}, 1),
    ({"RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "many", "RAYON_RS_NUM_CPUS": "3"}, 3),
])
def test_pool_is_created_by_first_evaluate_with_configured_size(run_python, env, workers):
    result = run_python(THREAD_COUNT_SCRIPT, env=env)
    assert result.returncode == 0, result.stderr
    start, before, first, last = map(int, result.stdout.split())
    assert before == start, "import, readers or adding started a thread"
    assert (first - start, last - start) == (workers, workers)


INTERRUPT_SCRIPT = r'''
import random, signal, sys, time
import vok

signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with SIGINT ignored

rng = random.Random(3)
letters = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
calc = vok.VokCalculator()
for i in range(100):  # enough work per piece of the long record to be timed
    calc.add_pwm(vok.PwmMatrix(f"M{i}", [[rng.randrange(20) for _ in range(30)] for _ in range(4)]))
calc.add_fasta(vok.parse_fasta(">big\n" + rng.randbytes(SIZE).translate(letters).decode() + "\n")[0])
calc.default_css_threshold = 0.0  # every position is a candidate; few sites reach the mss
calc.default_mss_threshold = 0.9
start = time.monotonic()
calc.evaluate()
print("duration", time.monotonic() - start, flush=True)
state = "during"
try:
    print("ready", flush=True)
    calc.evaluate()
    state = "after"
    time.sleep(60)
    state = "never"
except KeyboardInterrupt:
    print("interrupted", state, flush=True)
small = vok.VokCalculator()
small.add_pwm(vok.PwmMatrix("M", [[10, 0, 0, 0, 10], [0, 10, 0, 10, 0], [0, 0, 10, 0, 0], [0] * 5]))
small.add_fasta(vok.parse_fasta(">s\nACGCA\n")[0])
print("second", len(small.evaluate()), flush=True)
'''


def test_interrupt_during_evaluate_raises_keyboard_interrupt(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS",
                                                          "RAYON_RS_NUM_CPUS")}
    script = textwrap.dedent(INTERRUPT_SCRIPT).replace("SIZE", str(30_000_000))
    with open(tmp_path / "stderr", "w+") as err_file:
        process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                   stderr=err_file, text=True, env=env)
        watchdog = threading.Timer(60, process.kill)
        watchdog.start()
        try:
            duration = float(process.stdout.readline().split()[1])
            assert process.stdout.readline().strip() == "ready"
            time.sleep(duration / 4)  # a quarter of the way through the scan
            sent = time.monotonic()
            process.send_signal(signal.SIGINT)
            interrupted = process.stdout.readline().split()
            reaction = time.monotonic() - sent
            rest = process.stdout.read().split()
            process.wait()
        finally:
            watchdog.cancel()
            process.kill()
            process.wait()
            process.stdout.close()
        err_file.seek(0)
        err = err_file.read()
    assert interrupted in (["interrupted", "during"], ["interrupted", "after"]), err
    if interrupted[1] == "during":
        # The workers stop between pieces of a record (dozens here), not at its end.
        assert reaction < duration / 4, (reaction, duration)
    assert rest == ["second", "2"], err
    assert process.returncode == 0, err


FORK_SCRIPT = BUILD_SCRIPT + r'''
import os, sys, time
calc = build_calculator(4)
expected = dump(calc.evaluate())  # the pool exists from here on
read_end, write_end = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(read_end)
    try:
        os.write(write_end, b"same" if dump(calc.evaluate()) == expected else b"different")
    except BaseException as exc:
        os.write(write_end, repr(exc).encode())
    os._exit(0)
os.close(write_end)
deadline = time.monotonic() + 20
while os.waitpid(pid, os.WNOHANG) == (0, 0):
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        print("child hung")
        sys.exit(0)
    time.sleep(0.05)
print(os.read(read_end, 1000).decode())
print("parent", dump(calc.evaluate()) == expected)
'''


def test_evaluate_in_forked_child_after_pool_exists(run_python):
    result = run_python(FORK_SCRIPT, env={"RAYON_NUM_THREADS": "2"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["same", "parent True"]


# A signal handler is Python code, so the interpreter lock can pass from the
# thread waiting in evaluate() to another thread that calls evaluate() itself.
LOCK_HANDOVER_SCRIPT = BUILD_SCRIPT + r'''
import signal, sys, threading
sys.setswitchinterval(1e-4)  # hand the interpreter lock over often
rng = random.Random(5)
big = vok.VokCalculator()
big.add_pwm(vok.PwmMatrix("m", [[9, 0, 0, 0, 9, 1], [0, 9, 0, 9, 0, 1],
                                [0, 0, 9, 0, 0, 1], [0, 0, 0, 0, 0, 1]]))
letters = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
bases = rng.randbytes(20_000_000).translate(letters).decode()
big.add_fasta(vok.parse_fasta(">s\n" + bases + "\n")[0])  # scanned for well over 20 ms
big.default_css_threshold = big.default_mss_threshold = 0.95
small = build_calculator(3)
small.default_css_threshold, small.default_mss_threshold = 0.85, 0.8  # a few hundred hits
expected_big, expected_small = dump(big.evaluate()), dump(small.evaluate())
wrong = []

def check_small():
    if dump(small.evaluate()) != expected_small:
        wrong.append("small")

nested = []

def handler(*args):
    if not nested and rng.random() < 0.2:  # not again from the nested one's signal checks
        nested.append(True)
        check_small()  # evaluate() nested in the waiting one
        nested.pop()

def other_thread():
    while True:
        check_small()

signal.signal(signal.SIGALRM, handler)
threading.Thread(target=other_thread, daemon=True).start()
signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
for _ in range(5):
    if dump(big.evaluate()) != expected_big:
        wrong.append("big")
signal.setitimer(signal.ITIMER_REAL, 0)
print(expected_big.count("'s'"), expected_small.count("'M"), wrong)
'''


def test_evaluate_from_other_threads_and_handlers_while_one_waits(run_python):
    result = run_python(LOCK_HANDOVER_SCRIPT, timeout=90)
    assert result.returncode == 0, result.stderr
    big_hits, small_hits, wrong = result.stdout.split(maxsplit=2)
    assert int(big_hits) > 1000 and int(small_hits) > 100
    assert wrong.strip() == "[]"


def test_long_record_gives_the_hits_of_overlapping_short_records(build):
    # Records over a million candidates are scanned in pieces. Runs of A (every
    # window a hit for the A matrix) cover the first piece boundary of each
    # strand: window 2**20 of the forward record and of the reversed one.
    rng = random.Random(8)
    n, edge = 2**20 + 30_000, 16  # edge: at least the longest matrix
    bases = list(random_seq(rng, n))
    for start in (2**20 - 50, n - 2**20 - 58):
        bases[start:start + 100] = "A" * 100
    seq = "".join(bases)
    matrices = [("A", [[10, 1, 1, 1]] * 8), ("R", random_rows(rng, 12))]
    profiles = [("R", 0.85, 0.8)]
    whole = build(matrices, [("long", seq)], profiles, defaults=(0.95, 0.95)).evaluate()

    # Short records overlapping by 2 * edge; each contributes the hits of its
    # inner band, whose windows lie wholly inside it on both strands.
    step = 4096
    count = (n - 2 * edge) // step
    chunks = [(str(k), seq[k * step:(k + 1) * step + 2 * edge]) for k in range(count)]
    pieces = build(matrices, chunks, profiles, defaults=(0.95, 0.95)).evaluate()

    def key(hit, offset):
        return (hit.matrix, hit.pos + offset, hit.strand, hit.css, hit.mss)

    expected_hits = sorted(key(h, int(h.sequence) * step) for h in pieces
                           if edge <= h.pos < edge + step)
    actual = sorted(key(h, 0) for h in whole if edge <= h.pos < edge + count * step)
    near_boundary = {True: 2**20, False: n - 2**20 - 8}  # forward index of the core word
    boundary = [h for h in actual if h[0] == "A" and abs(h[1] - near_boundary[h[2]]) < 3]
    assert len(boundary) == 10 and len(actual) > 500
    assert actual == expected_hits


# Making a million hit objects takes a while: Ctrl-C is checked meanwhile. An
# alarm every half millisecond keeps a signal pending at each of the module's
# checks, however the machine's load stretches the call; the handler records
# how many hit objects existed when it ran (each holds a reference to its type).
HIT_OBJECTS_SCRIPT = r'''
import random, signal, sys
import vok

rng = random.Random(2)
calc = vok.VokCalculator()
calc.add_pwm(vok.PwmMatrix("M", [[9, 0, 0, 0, 9], [0, 9, 0, 9, 0], [0, 0, 9, 0, 0], [1] * 5]))
calc.add_fasta(vok.parse_fasta(">s\n" + "".join(rng.choices("ACGT", k=600_000)) + "\n")[0])
hit_type = type(calc.evaluate()[0])  # every window is a hit at zero thresholds
base = sys.getrefcount(hit_type)
made = set()
signal.signal(signal.SIGALRM, lambda *args: made.add(sys.getrefcount(hit_type) - base))
signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
hits = calc.evaluate()
signal.setitimer(signal.ITIMER_REAL, 0)
print(len(hits), sorted(made))
'''


def test_signal_handlers_run_while_hit_objects_are_made(run_python):
    result = run_python(HIT_OBJECTS_SCRIPT)
    assert result.returncode == 0, result.stderr
    count, made = result.stdout.split(maxsplit=1)
    during = [n for n in eval(made) if 0 < n < int(count)]
    assert int(count) > 1_000_000 and during, "the handler ran only before or after the objects were made"


# The workers read the calculator's matrices during evaluate(): a handler that
# runs meanwhile (from the waiting thread's signal checks) must not change them.
CHANGE_DURING_EVALUATE_SCRIPT = r'''
import random, signal
import vok

rng = random.Random(4)
letters = bytes.maketrans(bytes(range(256)), b"ACGT" * 64)
calc = vok.VokCalculator()
for i in range(60):  # a call of a good fraction of a second: many alarms fall inside it
    calc.add_pwm(vok.PwmMatrix(f"M{i}", [[rng.randrange(20) for _ in range(30)] for _ in range(4)]))
calc.add_fasta(vok.parse_fasta(">s\n" + rng.randbytes(4_000_000).translate(letters).decode() + "\n")[0])
calc.default_css_threshold = 0.0
calc.default_mss_threshold = 0.9

def dump(hits):
    return [(h.matrix, h.pos, h.strand, h.css, h.mss) for h in hits]

expected = dump(calc.evaluate())
extra = vok.PwmMatrix("extra", [[1, 2, 3, 4, 5]] * 4)
outcomes = []

def handler(*args):
    try:
        calc.add_pwm(extra)
        outcomes.append("added")
    except RuntimeError as exc:
        outcomes.append(str(exc))

signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
hits = calc.evaluate()
signal.setitimer(signal.ITIMER_REAL, 0)
same = dump(hits) == expected
print(len(expected), same, outcomes.count("Already borrowed"), outcomes.count("added"),
      len(outcomes))
'''


def test_calculator_refuses_changes_while_evaluate_reads_it(run_python):
    result = run_python(CHANGE_DURING_EVALUATE_SCRIPT)
    assert result.returncode == 0, result.stderr
    hits, same, refused, added, attempts = result.stdout.split()
    assert int(hits) > 0 and same == "True"
    # The handler runs only at the module's signal checks, of which a fast
    # machine makes few in one call; an alarm may also fire after it returns.
    assert int(refused) >= 1 and int(added) <= 2
    assert int(refused) + int(added) == int(attempts)
