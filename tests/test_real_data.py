"""The module on real data: the bundled JASPAR matrices and the lambda genome.

The expected matrix values come from tests/data/example_matrices.json, the
counts as Biopython holds them in memory (written by
tools/make_example_matrices.py), so the module's reading of the TRANSFAC file
is compared with an independent program's view of the same matrices.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vok
from reference_model import f32, hit_tuple

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "examples" / "data"
MATRIX_FILE = DATA / "jaspar_core_vertebrates.transfac"
FASTA_FILE = DATA / "lambda_virus.fa"
CUTOFF_FILE = DATA / "cutoffs.prf"
REFERENCE = json.loads((ROOT / "tests" / "data" / "example_matrices.json").read_text())
LAMBDA_NAME = "gi|9626243|ref|NC_001416.1|"
LAMBDA_LENGTH = 48502
DEFAULTS = (0.9, 0.85)  # default css and mss thresholds of the full scans


def reference_rows(matrix):
    return [[f32(value) for value in row] for row in matrix["rows"]]


def reference_pwm(matrix):
    """A PwmMatrix built from the reference values: one list per base."""
    rows = matrix["rows"]
    return vok.PwmMatrix(matrix["id"], [[row[base] for row in rows] for base in range(4)])


def lambda_by_hand():
    """Name and sequence of the FASTA file, read with plain Python."""
    header, *lines = FASTA_FILE.read_text().splitlines()
    return header[1:].split(" ")[0], "".join(line.strip() for line in lines)


def as_tuples(hits):
    return [hit_tuple(h) for h in hits]


def scanned(profiles=True, defaults=DEFAULTS):
    """A calculator loaded from the bundled files, and its hits."""
    calc = vok.VokCalculator()
    calc.add_from_transfac_file(str(MATRIX_FILE))
    calc.add_from_fasta_file(str(FASTA_FILE))
    if profiles:
        calc.add_from_profile_file(str(CUTOFF_FILE))
    calc.default_css_threshold, calc.default_mss_threshold = defaults
    return calc.evaluate()


@pytest.fixture(scope="module")
def cutoffs():
    return {p.id: (p.css, p.mss) for p in vok.parse_profile(CUTOFF_FILE.read_text())}


@pytest.fixture(scope="module")
def bundled_hits():
    return scanned()


def test_reference_data_is_the_bundled_set(cutoffs):
    # Guards the test data itself: several matrices, all long enough to scan,
    # and cut-offs that name some of them.
    assert len(REFERENCE["matrices"]) >= 5
    assert all(len(m["rows"]) >= 5 for m in REFERENCE["matrices"])
    assert cutoffs and set(cutoffs) <= {m["id"] for m in REFERENCE["matrices"]}


def test_transfac_reading_gives_biopython_values():
    matrices = vok.parse_transfac(MATRIX_FILE.read_text(encoding="utf-8"))
    assert [m.name for m in matrices] == [m["id"] for m in REFERENCE["matrices"]]
    for parsed, expected in zip(matrices, REFERENCE["matrices"]):
        assert parsed.matrix == reference_rows(expected), expected["id"]
    from_file = vok.VokCalculator()
    from_file.add_from_transfac_file(str(MATRIX_FILE))
    from_reference = vok.VokCalculator()
    for matrix in REFERENCE["matrices"]:
        from_reference.add_pwm(reference_pwm(matrix))
    # The text form draws every stored value of every matrix, in order.
    assert repr(from_file) == repr(from_reference)


def test_fasta_reading_keeps_the_whole_lambda_genome():
    records = vok.parse_fasta(FASTA_FILE.read_text(encoding="ascii"))
    name, sequence = lambda_by_hand()
    assert [(r.name, r.seq) for r in records] == [(LAMBDA_NAME, sequence)]
    assert name == LAMBDA_NAME and len(sequence) == LAMBDA_LENGTH and set(sequence) == set("ACGT")
    calc = vok.VokCalculator()
    calc.add_from_fasta_file(str(FASTA_FILE))
    assert repr(calc) == (f"VokCalculator: \n Fasta {name} {sequence}\n "
                          " default_css_threshold: 0, default_mss_threshold: 0")


def test_every_window_of_the_stored_genome_is_scanned():
    # A five-position matrix with thresholds of minus infinity accepts every
    # candidate: n - 4 per strand, so the count pins the stored length.
    calc = vok.VokCalculator()
    calc.add_from_fasta_file(str(FASTA_FILE))
    rows = REFERENCE["matrices"][0]["rows"][:5]
    calc.add_pwm(vok.PwmMatrix("five", [[row[b] for row in rows] for b in range(4)]))
    calc.default_css_threshold = calc.default_mss_threshold = float("-inf")
    hits = calc.evaluate()
    per_strand = LAMBDA_LENGTH - 4
    assert len(hits) == 2 * per_strand
    assert [h.pos for h in hits[:per_strand]] == list(range(per_strand))
    assert [h.pos for h in hits[per_strand:]] == list(reversed(range(per_strand)))
    assert [h.strand for h in hits] == [True] * per_strand + [False] * per_strand


def test_bundled_scan_order(bundled_hits):
    # Matrix order of the file; per matrix the forward hits with ascending
    # positions, then the reverse hits with descending positions.
    order = [m["id"] for m in REFERENCE["matrices"]]
    keys = [(order.index(h.matrix), not h.strand) for h in bundled_hits]
    assert keys == sorted(keys)
    for matrix in order:
        forward = [h.pos for h in bundled_hits if h.matrix == matrix and h.strand]
        reverse = [h.pos for h in bundled_hits if h.matrix == matrix and not h.strand]
        assert forward == sorted(set(forward))
        assert reverse == sorted(set(reverse), reverse=True)


def test_bundled_hits_pass_their_cutoffs_and_filter_a_looser_scan(bundled_hits, cutoffs):
    # Scores do not depend on thresholds: scanning with thresholds at or below
    # every cut-off and filtering by each matrix's own pair gives the same hits.
    pairs = list(cutoffs.values()) + [DEFAULTS]
    loose = scanned(profiles=False, defaults=(min(p[0] for p in pairs), min(p[1] for p in pairs)))
    defaults = tuple(f32(t) for t in DEFAULTS)

    def passes(hit):
        css_min, mss_min = cutoffs.get(hit.matrix, defaults)
        return hit.css >= css_min and hit.mss >= mss_min

    filtered = [hit for hit in loose if passes(hit)]
    assert bundled_hits and len(loose) > len(filtered)
    assert as_tuples(filtered) == as_tuples(bundled_hits)
    lengths = {m["id"]: len(m["rows"]) for m in REFERENCE["matrices"]}
    for hit in bundled_hits:
        assert (hit.sequence, hit.len) == (LAMBDA_NAME, lengths[hit.matrix])
        assert 0 <= hit.pos <= LAMBDA_LENGTH - 5


def test_file_and_reference_matrices_score_alike(bundled_hits, cutoffs):
    calc = vok.VokCalculator()
    for matrix in REFERENCE["matrices"]:
        calc.add_pwm(reference_pwm(matrix))
    name, sequence = lambda_by_hand()
    calc.add_fasta(vok.parse_fasta(f">{name}\n{sequence}\n")[0])
    for matrix_id, (css, mss) in cutoffs.items():
        profile = vok.parse_profile(f"1 0 0 X {matrix_id}")[0]
        profile.css, profile.mss = css, mss
        calc.add_profile(profile)
    calc.default_css_threshold, calc.default_mss_threshold = DEFAULTS
    assert as_tuples(calc.evaluate()) == as_tuples(bundled_hits)


def run_example(threads):
    environment = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    return subprocess.run(
        [sys.executable, str(ROOT / "examples" / "scan.py"), "--show", "100000"],
        capture_output=True, text=True, env=environment, check=True,
    ).stdout


def test_example_script_prints_every_hit_whatever_the_thread_count(bundled_hits):
    one, three = run_example(1), run_example(3)
    # Everything but the timing on the summary line is identical.
    assert one.split("evaluate took")[0] == three.split("evaluate took")[0]
    assert one.splitlines()[1:] == three.splitlines()[1:]
    table = one.split("\n\n")[1].splitlines()
    assert table[0].split("\t") == ["sequence", "matrix", "pos", "strand", "css", "mss", "len"]
    rows = [line.split("\t") for line in table[1:]]
    assert [(r[0], r[1], int(r[2]), r[3] == "+", int(r[6])) for r in rows] == [
        (h.sequence, h.matrix, h.pos, h.strand, h.len) for h in bundled_hits
    ]
