"""The engine's hits are the module's, segment by segment, bit for bit."""

import numpy as np
import pytest

from engine_oracle import engine_hits, expected_hits, random_matrices, random_record

_engine = pytest.importorskip("vokscan._engine")


def motif_set(matrices, css, mss):
    ids = [f"m{k}" for k in range(len(matrices))]
    return _engine.MotifSet(ids=ids, names=[""] * len(ids), matrices=matrices, css=css, mss=mss)


def random_case(seed, count=8, length=600):
    rng = np.random.default_rng(seed)
    matrices = random_matrices(rng, count)
    css = rng.uniform(0.55, 0.95, count).astype(np.float32)
    mss = rng.uniform(0.45, 0.9, count).astype(np.float32)
    records = [random_record(rng, int(rng.integers(0, length))) for _ in range(3)]
    records.append(random_record(rng, 8))  # shorter than most matrices
    return matrices, css, mss, records


def write_fasta(path, records, width=None):
    with open(path, "w") as out:
        for index, text in enumerate(records):
            out.write(f">r{index} description\n")
            step = width or max(1, len(text))
            for at in range(0, len(text), step):
                out.write(text[at:at + step] + "\n")


def with_names(hits):
    return [(f"r{h[0]}",) + h[1:] for h in hits]


@pytest.mark.parametrize("strand", ["both", "forward", "reversed"])
@pytest.mark.parametrize("partial_windows", [False, True])
@pytest.mark.parametrize("mask", [False, True])
@pytest.mark.parametrize("seed", range(4))
def test_scan_text_matches_the_module(seed, strand, partial_windows, mask):
    matrices, css, mss, records = random_case(seed)
    motifs = motif_set(matrices, css, mss)
    got = []
    for index, text in enumerate(records):
        batch = _engine.scan_text(motifs, f"r{index}", text, strand=strand, mask=mask,
                                  partial_windows=partial_windows)
        got.extend(engine_hits([batch]))
    want = with_names(expected_hits(matrices, css, mss, records, strand, mask, partial_windows))
    assert got == want
    assert len(want) > 0


@pytest.mark.parametrize("block_size, threads", [(1, 1), (23, 2), (64, 1), (1 << 20, 2)])
@pytest.mark.parametrize("seed", range(3))
def test_fasta_scan_matches_the_module_for_any_block_size(tmp_path, seed, block_size, threads):
    matrices, css, mss, records = random_case(100 + seed, length=2500)
    path = tmp_path / "in.fa"
    write_fasta(path, records, width=int(np.random.default_rng(seed).integers(1, 80)))
    motifs = motif_set(matrices, css, mss)
    want = with_names(expected_hits(matrices, css, mss, records, "both", False, True))
    with _engine.FastaScan(motifs, [str(path)], partial_windows=True, threads=threads,
                           block_size=block_size) as scan:
        got = engine_hits(list(scan))
    assert got == want


@pytest.mark.parametrize("seed", range(3))
def test_owned_ranges_of_scan_text_partition_the_record(seed):
    """Cutting a record anywhere, with the promised context, changes nothing."""
    rng = np.random.default_rng(200 + seed)
    matrices, css, mss, _ = random_case(200 + seed)
    text = random_record(rng, 3000)
    motifs = motif_set(matrices, css, mss)
    whole = engine_hits([_engine.scan_text(motifs, "r", text, partial_windows=True)])
    context = motifs.max_length - 1
    cuts = sorted(set(rng.integers(0, len(text), 12).tolist()) | {0, len(text)})
    pieces = []
    for lo, hi in zip(cuts, cuts[1:]):
        a, b = max(0, lo - context), min(len(text), hi + context)
        pieces.append(_engine.scan_text(
            motifs, "r", text[a:b], offset=a, owned_start=lo, owned_end=hi,
            at_record_start=a == 0, at_record_end=b == len(text), partial_windows=True))
    assert engine_hits(pieces) == whole


@pytest.mark.parametrize("offset", [2500, 10**9])
def test_scan_text_at_an_offset_owns_the_whole_text_by_default(offset):
    matrices, css, mss, _ = random_case(301)
    motifs = motif_set(matrices, css, mss)
    text = random_record(np.random.default_rng(301), 2000)
    at_zero = engine_hits([_engine.scan_text(motifs, "r", text)])
    shifted = engine_hits([_engine.scan_text(motifs, "r", text, offset=offset)])
    assert len(at_zero) > 50
    assert shifted == [(name, start + offset, end + offset, motif, strand, css, mss, core + offset)
                       for name, start, end, motif, strand, css, mss, core in at_zero]


def test_scan_text_refuses_an_owned_range_without_context():
    matrices, css, mss, _ = random_case(300)
    motifs = motif_set(matrices, css, mss)
    text = "ACGT" * 100
    context = motifs.max_length - 1
    for kwargs in [dict(owned_start=context - 1, at_record_start=False),
                   dict(owned_end=len(text) - context + 1, at_record_end=False)]:
        with pytest.raises(ValueError, match="context"):
            _engine.scan_text(motifs, "r", text, **kwargs)
    _engine.scan_text(motifs, "r", text, owned_start=context, owned_end=len(text) - context,
                      at_record_start=False, at_record_end=False)
