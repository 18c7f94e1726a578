"""P-values from Python: against every word of short matrices scored by the
module itself, backgrounds, and base counting."""

import gzip
import math
from pathlib import Path

import numpy as np
import pytest

import vok
import vokscan
from vokscan import pvalues, scanning

pytest.importorskip("vokscan._engine")


def de_bruijn(order):
    """Every word of `order` bases exactly once as a window (linear sequence)."""
    a = [0] * (4 * order + 1)
    out = []

    def generate(t, p):
        if t > order:
            if order % p == 0:
                out.extend(a[1:p + 1])
            return
        a[t] = a[t - p]
        generate(t + 1, p)
        for b in range(a[t - p] + 1, 4):
            a[t] = b
            generate(t + 1, t)

    generate(1, 1)
    out += out[:order - 1]
    return "".join("ACGT"[b] for b in out)


def every_window(pwm, length):
    """(css, mss, word) of every word, scored by the module's evaluate()."""
    seq = de_bruijn(length)
    calc = vok.VokCalculator()
    calc.add_pwm(pwm)
    calc.add_fasta(vok.parse_fasta(f">w\n{seq}\n")[0])
    calc.default_css_threshold = calc.default_mss_threshold = -1.0
    rows = [hit for hit in calc.evaluate() if hit.strand]
    core_start = min(h.pos for h in rows)
    windows = []
    for hit in rows:
        start = hit.pos - core_start
        if start + length <= len(seq):
            windows.append((hit.css, hit.mss, seq[start:start + length]))
    assert len(windows) == 4 ** length
    return windows


def exact(windows, background, css, mss):
    p = dict(zip("ACGT", background))
    return sum(math.prod(p[c] for c in word) for c_, m_, word in windows if c_ >= css and m_ >= mss)


MATRIX = vok.PwmMatrix("M1", [[10, 0, 1, 8, 2, 5], [0, 9, 3, 0, 2, 1], [0, 1, 6, 1, 5, 1], [1, 1, 1, 2, 2, 4]])


@pytest.mark.parametrize("background", [pvalues.UNIFORM, (0.1, 0.4, 0.3, 0.2), (0.5, 0.0, 0.25, 0.25)])
def test_pvalue_and_threshold_match_every_word(background):
    windows = every_window(MATRIX, 6)
    scores = sorted({m for _, m, _ in windows}, reverse=True)
    for css in (0.0, 0.8):
        for mss in scores[::97] + [1.0]:
            truth = exact(windows, background, css, mss)
            got = vokscan.pvalue(MATRIX, css=css, mss=mss, background=background)
            assert truth * (1 - 1e-9) <= got <= truth * 1.01 + 1e-300, (css, mss)
        for p in (1e-2, 1e-3):
            threshold = vokscan.threshold_for_pvalue(MATRIX, p, css=css, background=background)
            assert exact(windows, background, css, threshold) <= p
    stats = pvalues.statistics(MATRIX, background)
    per_hit = stats.hit_pvalues(np.array([m for _, m, _ in windows], dtype=np.float32))
    truth = np.array([exact(windows, background, 0.0, m) for _, m, _ in windows[:200]])
    assert (per_hit[:200] >= truth * (1 - 1e-7)).all()


@pytest.mark.parametrize("spec, expected", [
    ("uniform", (0.25,) * 4),
    (None, (0.25,) * 4),
    ("auto", "auto"),
    ("0.3,0.2,0.2,0.3", (0.3, 0.2, 0.2, 0.3)),
    ("3,2,2,3", (0.3, 0.2, 0.2, 0.3)),
    ([1, 0, 0, 1], (0.5, 0.0, 0.0, 0.5)),
])
def test_background_specs(spec, expected):
    got = pvalues.parse_background(spec)
    assert got == expected if isinstance(expected, str) else np.allclose(got, expected)


@pytest.mark.parametrize("spec, message", [
    ("0.3,0.2,0.5", "four frequencies"),
    ("0.3,-0.2,0.5,0.4", "frequency of C"),
    ("0.3,0.2,nan,0.4", "frequency of G"),
    ("0,0,0,0", "all be zero"),
    ("gc-rich", "'uniform', 'auto'"),
])
def test_bad_backgrounds_are_refused(spec, message):
    with pytest.raises(pvalues.BackgroundError, match=message):
        pvalues.parse_background(spec)


def test_bad_arguments():
    with pytest.raises(ValueError, match="p-value"):
        vokscan.threshold_for_pvalue(MATRIX, 0.0)
    with pytest.raises(ValueError, match="NaN"):
        vokscan.pvalue(MATRIX, mss=float("nan"))
    with pytest.raises(ValueError, match="at least 5"):
        vokscan.pvalue(vok.PwmMatrix("short", [[1], [0], [0], [0]]), mss=0.5)


def test_background_counted_from_fasta(tmp_path):
    path = tmp_path / "s.fa.gz"
    with gzip.open(path, "wt") as handle:
        handle.write(">chrA description with CAT\nAAAAcc\nNNgT\n>b\r\naaTT\r\n")
    counts = pvalues.count_bases([path])
    assert counts == {"A": 6, "C": 2, "G": 1, "T": 3}
    both = pvalues.background_from_sequences(path)
    assert np.allclose(both, (9 / 24, 3 / 24, 3 / 24, 9 / 24))
    with pytest.raises(pvalues.BackgroundError, match="standard input"):
        pvalues.count_bases(["-"])


@pytest.mark.parametrize("block", [1, 2, 3, 5, 8, 13, 1 << 24])
def test_background_counts_do_not_depend_on_the_read_blocks(tmp_path, monkeypatch, block):
    """Header lines that a read block cuts in two are still left out."""
    path = tmp_path / "s.fa"
    path.write_text(">GATTACA gattaca\nAC\n>TTT\r\nggNa\n>ACGT ACGT ACGT\nT\n")
    monkeypatch.setattr(pvalues, "_READ_BLOCK", block)
    assert pvalues.count_bases([path]) == {"A": 2, "C": 1, "G": 2, "T": 1}


def test_strand_thresholds_cover_the_complemented_background():
    skewed = (0.4, 0.1, 0.1, 0.4)
    assert pvalues.strand_backgrounds(skewed) == [skewed]
    backgrounds = pvalues.strand_backgrounds((0.4, 0.2, 0.1, 0.3))
    assert backgrounds[1] == (0.3, 0.1, 0.2, 0.4)
    chosen = pvalues.MotifThresholds([MATRIX], 1e-3, (0.4, 0.2, 0.1, 0.3))
    for background in backgrounds:
        assert vokscan.pvalue(MATRIX, css=chosen.css[0], mss=chosen.mss[0], background=background) <= 1e-3


def test_scan_api_thresholds_and_pvalue_column():
    root = Path(__file__).resolve().parents[2] / "examples" / "data"
    motifs, fasta = root / "jaspar_core_vertebrates.transfac", root / "lambda_virus.fa"
    table = vokscan.scan_to_dataframe(motifs, fasta, pvalue=1e-4, pvalues=True, as_frame=False)
    batches = list(vokscan.scan(motifs, fasta, pvalue=1e-4, pvalues=True, as_frame=False))
    assert np.array_equal(np.concatenate([b["pvalue"] for b in batches]), table["pvalue"])
    prepared = scanning.prepare_motifs(motifs, pvalue=1e-4)
    for k, motif in enumerate(vokscan.read_motifs(motifs)):
        mine = table["motif_id"] == motif.name
        assert (table["mss"][mine] >= prepared.mss[k]).all()
        # Within 1% of the refined bounds of the hit's score, and no hit that
        # passed the threshold for 1e-4 shows more than 1e-4.
        stats = pvalues.statistics(motif)
        for mss, value in set(zip(table["mss"][mine].tolist(), table["pvalue"][mine].tolist())):
            lower, upper = stats.pvalue_bounds(-1.0, mss)
            assert lower * (1 - 1e-9) <= value <= upper * 1.01, (motif.name, mss)
            assert value <= 1e-4
    assert "pvalue" not in vokscan.scan_to_dataframe(motifs, fasta, as_frame=False)


@pytest.mark.parametrize("strand", ["both", "reversed"])
def test_minus_strand_hits_follow_their_strand_background(strand):
    """A scan of both strands reads minus-strand windows as reverse
    complements of random sequence, so their thresholds and p-values follow
    the complemented background; a reversed scan keeps the letters and the
    background. Checked against every word, for thresholds and per hit."""
    background = (0.3, 0.15, 0.1, 0.45)  # its complement asks the stricter threshold of MATRIX
    used = pvalues.complement(background) if strand == "both" else background
    windows = every_window(MATRIX, 6)
    rng = np.random.default_rng(4)
    sequence = "".join(rng.choice(list("ACGT"), size=40000, p=background))
    p = 1e-2
    table = vokscan.scan_to_dataframe([MATRIX], {"s": sequence}, pvalue=p, pvalues=True,
                                      background=background, strand=strand, as_frame=False)
    chosen = pvalues.MotifThresholds([MATRIX], p, background, strand=strand)
    own, opposite = (vokscan.threshold_for_pvalue(MATRIX, p, background=bg)
                     for bg in (background, pvalues.complement(background)))
    assert opposite > own
    expected = opposite if strand == "both" else own
    assert expected <= chosen.mss[0] <= expected + 16 * np.spacing(np.float32(expected))
    assert exact(windows, used, 0.0, chosen.mss[0]) <= p
    minus = table["strand"] == "-"
    assert minus.any()
    for mss, value in set(zip(table["mss"][minus].tolist(), table["pvalue"][minus].tolist())):
        truth = exact(windows, used, -1.0, mss)
        assert truth * (1 - 1e-9) <= value <= min(truth * 1.01, p), (mss, value, truth)


def test_thresholds_on_several_workers_are_those_of_one():
    rng = np.random.default_rng(8)
    matrices = [rng.integers(0, 30, size=(length, 4)).astype(np.float32) for length in
                [4, 6, 9, 12, 15, 7, 3, 10, 8, 11]]  # two too short to scan
    skewed = (0.35, 0.15, 0.2, 0.3)  # two strand backgrounds
    one = pvalues.MotifThresholds(matrices, 1e-4, skewed, threads=1)
    for threads in (0, 2, 3):
        many = pvalues.MotifThresholds(matrices, 1e-4, skewed, threads=threads)
        for column in ("css", "mss", "rate"):
            np.testing.assert_array_equal(getattr(many, column), getattr(one, column), err_msg=column)
    assert (one.mss[[0, 6]] == 1.0).all() and (one.rate[[0, 6]] == 0.0).all()


def test_the_first_failing_motif_is_the_one_named():
    good = np.full((8, 4), 5, dtype=np.float32)
    good[:, 0] = 20
    bad = good.copy()
    bad[3, 2] = np.nan
    worse = good.copy()
    worse[1, 1] = np.inf
    with pytest.raises(ValueError) as caught:
        pvalues.MotifThresholds([good, good, bad, good, worse], 1e-4, threads=3)
    assert str(caught.value) == str(pytest.raises(ValueError, pvalues.MotifThresholds, [bad], 1e-4,
                                                  threads=1).value)


@pytest.mark.parametrize("background", [pvalues.UNIFORM, (0.5, 0.0, 0.25, 0.25)])
def test_css_distribution_is_that_of_every_word(background):
    """The css values that occur, highest first, with their probabilities,
    against every word's css weighed by the background."""
    windows = every_window(MATRIX, 6)
    weight = dict(zip("ACGT", background))
    expected = {}
    for css, _, word in windows:
        probability = math.prod(weight[letter] for letter in word)
        if probability > 0:
            expected[css] = expected.get(css, 0.0) + probability
    css, probability = pvalues.statistics(MATRIX, background).css_distribution()
    assert list(css) == sorted(expected, reverse=True)
    np.testing.assert_allclose(probability, [expected[c] for c in css], rtol=1e-12)


@pytest.mark.parametrize("strand", ["both", "forward"])
def test_tables_capped_at_the_searchs_own_threshold_pvalues(tmp_path, strand):
    """The p-value tables take the threshold search's p-values of the
    thresholds (both strands' backgrounds) and equal tables that compute them."""
    from vokscan import _engine

    rng = np.random.default_rng(8)
    matrices = [(f"M{n}", rng.integers(0, 30, (int(n), 4)).astype(np.float32) + 1) for n in (6, 9, 12, 15)]
    matrices.insert(2, ("short", np.ones((3, 4), dtype=np.float32)))  # too short to scan
    skewed = [0.35, 0.15, 0.2, 0.3]
    prepared = scanning.prepare_motifs(matrices, pvalue=1e-3, background=skewed, strand=strand,
                                       pvalues=True, threads=2)
    path = tmp_path / "random.fa"
    path.write_text(">r\n" + "".join(rng.choice(list("ACGT"), 60_000)) + "\n")
    recomputed = _engine.HitPValues(prepared.engine_set, skewed, strand)
    with _engine.FastaScan(prepared.engine_set, [str(path)], strand=strand) as scan:
        batches = list(scan)
    assert sum(len(batch) for batch in batches) > 200
    for batch in batches:
        np.testing.assert_array_equal(prepared.pvalues.lookup(batch), recomputed.lookup(batch))
    capped = _engine.HitPValues(prepared.engine_set, skewed, strand, threshold_pvalues=[1e-9] * 10)
    assert all((capped.lookup(batch) <= 1.0001e-9).all() for batch in batches)  # 1e-9 rounded up to a float
    with pytest.raises(ValueError, match="two per motif"):
        _engine.HitPValues(prepared.engine_set, skewed, strand, threshold_pvalues=[1e-3])
    with pytest.raises(ValueError, match=r"in \[0, 1\]"):
        _engine.HitPValues(prepared.engine_set, skewed, strand, threshold_pvalues=[2.0] * 10)
