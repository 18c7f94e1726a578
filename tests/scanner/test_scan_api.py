"""The Python API: shapes of batches and tables, in-memory and file input
alike, and a few exact comparisons with the module's evaluate()."""

import random
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vok
import vokscan
from vokscan import scanning

pytest.importorskip("vokscan._engine")

ROOT = Path(__file__).resolve().parents[2]
MOTIFS = ROOT / "examples" / "data" / "jaspar_core_vertebrates.transfac"
LAMBDA = ROOT / "examples" / "data" / "lambda_virus.fa"
COLUMNS = ["sequence", "start", "end", "motif_id", "motif_name", "strand", "css", "mss", "core"]
COMPLEMENT = str.maketrans("ACGT", "TGCA")


def random_bases(rng, n, letters="ACGT"):
    return "".join(rng.choice(letters) for _ in range(n))


def module_hits(pwms, name, seq, css, mss):
    """evaluate() of one record: {(motif, core, strand, css, mss)}."""
    calc = vok.VokCalculator()
    for pwm in pwms:
        calc.add_pwm(pwm)
    record = vok.parse_fasta(f">{name}\n{seq}\n")[0]
    calc.add_fasta(record)
    calc.default_css_threshold, calc.default_mss_threshold = css, mss
    return calc.evaluate()


def as_set(table):
    return {(m, int(c), s, float(x), float(y)) for m, c, s, x, y in
            zip(table["motif_id"], table["core"], table["strand"], table["css"], table["mss"])}


@pytest.fixture(scope="module")
def pwms():
    return vokscan.read_motifs(MOTIFS)


def test_batches_are_frames_or_column_dicts(pwms):
    pd = pytest.importorskip("pandas")
    frames = list(vokscan.scan(MOTIFS, LAMBDA, css=0.9, mss=0.85))
    assert frames and all(isinstance(f, pd.DataFrame) for f in frames)
    assert list(frames[0].columns) == COLUMNS
    arrays = list(vokscan.scan(pwms, [str(LAMBDA)], css=0.9, mss=0.85, as_frame=False))
    first = arrays[0]
    assert list(first) == COLUMNS
    assert first["start"].dtype == np.int64 and first["css"].dtype == np.float32
    assert set(np.concatenate([a["strand"] for a in arrays])) <= {"+", "-"}
    assert sum(len(f) for f in frames) == sum(len(a["start"]) for a in arrays)


def test_table_from_file_equals_table_from_memory(pwms):
    pd = pytest.importorskip("pandas")
    fasta = vok.parse_fasta(LAMBDA.read_text())
    from_file = vokscan.scan_to_dataframe(MOTIFS, LAMBDA, css=0.9, mss=0.85)
    from_memory = vokscan.scan_to_dataframe(MOTIFS, fasta, css=0.9, mss=0.85)
    assert len(from_file) > 100
    pd.testing.assert_frame_equal(from_file, from_memory)
    as_dict = vokscan.scan_to_dataframe(pwms, fasta, css=0.9, mss=0.85, as_frame=False)
    assert (as_dict["start"] == from_file["start"].to_numpy()).all()
    assert list(as_dict["motif_id"][:3]) == list(from_file["motif_id"][:3].astype(str))


def test_in_memory_blocks_give_the_same_hits(pwms, monkeypatch):
    rng = random.Random(11)
    seq = random_bases(rng, 5000) + "N" * 7 + random_bases(rng, 3000, "ACGTacgt")
    whole = vokscan.scan_to_dataframe(pwms, {"r": seq}, css=0.7, mss=0.6, as_frame=False)
    monkeypatch.setattr(scanning, "TEXT_BLOCK", 997)
    pieces = vokscan.scan_to_dataframe(pwms, {"r": seq}, css=0.7, mss=0.6, as_frame=False)
    for key in COLUMNS:
        np.testing.assert_array_equal(whole[key], pieces[key])
    # No window reaches over the N run at 5000..5006.
    assert not ((whole["start"] < 5007) & (whole["end"] > 5000)).any()


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_reversed_strand_reproduces_evaluate(pwms, seed):
    rng = random.Random(seed)
    seq = random_bases(rng, rng.randrange(50, 3000))
    css, mss = [(0.0, 0.0), (0.7, 0.6), (0.8, 0.75)][seed - 1]
    ours = vokscan.scan_to_dataframe(pwms, {"chr": seq}, css=css, mss=mss, strand="reversed",
                                     partial_windows=True, as_frame=False)
    expected = {(h.matrix, h.pos, "+" if h.strand else "-", h.css, h.mss)
                for h in module_hits(pwms, "chr", seq, css, mss)}
    assert len(expected) > 0
    assert as_set(ours) == expected


def test_minus_strand_is_the_reverse_complement(pwms):
    rng = random.Random(5)
    seq = random_bases(rng, 2000)
    n = len(seq)
    ours = vokscan.scan_to_dataframe(pwms, {"s": seq}, css=0.8, mss=0.75, partial_windows=True,
                                     as_frame=False)
    minus = {(m, c, x, y) for m, c, s, x, y in as_set(ours) if s == "-"}
    rc = seq.translate(COMPLEMENT)[::-1]
    # A forward site of the reverse complement with its core at p lies at n - p - 5.
    expected = {(h.matrix, n - h.pos - 5, h.css, h.mss)
                for h in module_hits(pwms, "rc", rc, 0.8, 0.75) if h.strand}
    assert minus and minus == expected
    # Without partial windows every window has the matrix's full length.
    lengths = {p.name: len(p.matrix) for p in pwms}
    whole = vokscan.scan_to_dataframe(pwms, {"s": seq}, css=0.8, mss=0.75, as_frame=False)
    assert all(e - s == lengths[m] for s, e, m in
               zip(whole["start"], whole["end"], whole["motif_id"]))
    assert as_set(whole) <= as_set(ours)


@pytest.mark.parametrize("motifs,sequences,options,error", [
    (MOTIFS, LAMBDA, {"strand": "minus"}, ValueError),
    (MOTIFS, LAMBDA, {"css": float("nan")}, vokscan.CutoffError),
    ([], LAMBDA, {}, vokscan.MotifError),
    ([("M1", [[1, 0, 0, -1]] * 6)], LAMBDA, {}, vokscan.MotifError),
    (MOTIFS, [LAMBDA, ("x", "ACGT")], {}, TypeError),
    (MOTIFS, [], {}, ValueError),
    (MOTIFS, LAMBDA, {"pvalue": 1e-4, "mss": 0.9}, ValueError),
])
def test_bad_arguments_fail_at_the_call(motifs, sequences, options, error):
    with pytest.raises(error):
        vokscan.scan(motifs, sequences, **options)


def test_bad_letter_in_memory_names_record_and_offset():
    with pytest.raises(ValueError, match=r"record 'r2', offset 3: invalid character '\*'"):
        vokscan.scan_to_dataframe(MOTIFS, {"r1": "ACGTACGT", "r2": "ACG*T"})


def _command_hits(*options):
    """(sequence, start, motif_id, strand) of each hit `vok-scan` reports."""
    result = subprocess.run([sys.executable, "-m", "vokscan", "--no-header", *map(str, options),
                             str(MOTIFS), str(LAMBDA)], capture_output=True, text=True, check=True)
    return [tuple(line.split("\t")[i] for i in (0, 1, 3, 5)) for line in result.stdout.splitlines()]


@pytest.mark.parametrize("options,command_options", [
    ({}, []),  # thresholds for p = 1e-4
    ({"mss": 0.85}, ["--mss", 0.85]),  # fixed, css 0.95
    ({"css": 0.9, "pvalue": 1e-3}, ["--css", 0.9, "--pvalue", 1e-3]),
], ids=["defaults", "fixed mss", "css and pvalue"])
def test_api_chooses_thresholds_as_the_command_does(options, command_options):
    expected = _command_hits(*command_options)
    assert len(expected) > 10
    table = vokscan.scan_to_dataframe(MOTIFS, LAMBDA, as_frame=False, **options)
    batches = list(vokscan.scan(MOTIFS, LAMBDA, as_frame=False, **options))
    for columns in [table] + batches:
        columns["start"] = columns["start"].astype(str)
    rows = [row for columns in [table] + batches
            for row in zip(columns["sequence"], columns["start"], columns["motif_id"], columns["strand"])]
    assert rows == expected + expected
