"""Lines formatted by the scan's workers: the same bytes as the writer makes of
the columns, the site column, and memory bounded at any hit density."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from engine_oracle import random_matrices, random_record

_engine = pytest.importorskip("vokscan._engine")

COMPLEMENT = str.maketrans("ACGTacgt", "TGCAtgca")


@pytest.fixture(scope="module")
def case(tmp_path_factory):
    rng = np.random.default_rng(31)
    matrices = random_matrices(rng, 7, lengths=(5, 16))
    css = rng.uniform(0.5, 0.8, len(matrices)).astype(np.float32)
    mss = rng.uniform(0.4, 0.7, len(matrices)).astype(np.float32)
    ids = [f"MA{k:04d}.1" for k in range(len(matrices))]
    motifs = _engine.MotifSet(ids=ids, names=[f"TF{k}" if k % 3 else "" for k in range(len(ids))],
                              matrices=matrices, css=css, mss=mss)
    records = {f"chr{i} extra": random_record(rng, int(n)) for i, n in enumerate([9000, 7, 25000, 40])}
    path = tmp_path_factory.mktemp("lines") / "in.fa"
    with open(path, "w") as out:
        for name, text in records.items():
            out.write(f">{name}\n" + "\n".join(text[i:i + 61] for i in range(0, len(text), 61)) + "\n")
    pvalues = {strand: _engine.HitPValues(motifs, [0.3, 0.2, 0.2, 0.3], strand)
               for strand in ("both", "forward", "reversed")}
    return motifs, path, {name.split()[0]: text for name, text in records.items()}, pvalues


def written(tmp_path, motifs, items, fmt, pvalues, site):
    path = tmp_path / "out"
    writer = _engine.HitWriter(str(path), fmt, motifs=motifs, pvalues=pvalues, site=site)
    for item in items:
        writer.write(item)
    writer.close()
    return path.read_bytes()


@pytest.mark.parametrize("strand", ["both", "forward", "reversed"])
@pytest.mark.parametrize("fmt", ["tsv", "bed", "bed+"])
def test_lines_of_the_workers_are_the_writers_bytes(tmp_path, case, strand, fmt):
    motifs, path, records, tables = case
    for mask, partial, with_p, site, threads, block in [
            (False, False, True, True, 1, 1 << 20), (True, True, False, True, 2, 3000),
            (False, True, True, False, 3, 777), (True, False, False, False, 0, 50_000)]:
        pvalues = tables[strand] if with_p else None
        site = site and fmt != "bed"
        options = dict(strand=strand, mask=mask, partial_windows=partial, threads=threads,
                       block_size=block, site=site)
        with _engine.FastaScan(motifs, [str(path)], **options) as scan:
            batches = list(scan)
        with _engine.FastaScan(motifs, [str(path)], format=fmt, pvalues=pvalues, **options) as scan:
            lines = list(scan)
        assert all(isinstance(item, _engine.HitLines) for item in lines)
        assert sum(map(len, lines)) == sum(map(len, batches)) > 50
        old = written(tmp_path, motifs, batches, fmt, pvalues, site)
        assert written(tmp_path, motifs, lines, fmt, pvalues, site) == old, (mask, partial, with_p, threads)
        body = old.split(b"\n", 1)[1] if fmt == "tsv" else old
        assert b"".join(bytes(item) for item in lines) == body
        assert b"".join(_engine.format_hits(b, fmt, motifs=motifs, pvalues=pvalues, site=site)
                        for b in batches) == body


@pytest.mark.parametrize("strand", ["both", "reversed", "forward"])
def test_sites_are_the_windows_letters_on_the_hits_strand(case, strand):
    motifs, path, records, _ = case
    with _engine.FastaScan(motifs, [str(path)], strand=strand, partial_windows=True, site=True) as scan:
        batches = list(scan)
    checked = 0
    for batch in batches:
        cols = batch.columns()
        assert cols["site"].dtype == np.dtype(f"S{motifs.max_length}")
        for i in range(len(batch)):
            text = records[batch.sequence_names[cols["sequence"][i]]]
            window = text[cols["start"][i]:cols["end"][i]]
            if cols["strand"][i] < 0:
                window = window[::-1].translate(COMPLEMENT) if strand == "both" else window[::-1]
            assert cols["site"][i].decode() == window
            checked += 1
    assert checked > 50
    assert any(s.decode().islower() for b in batches for s in b.columns()["site"])
    in_memory = _engine.scan_text(motifs, "chr2", records["chr2"], strand=strand, partial_windows=True,
                                  site=True)
    from_file = [b for b in batches if b.sequence_names == ["chr2"] or "chr2" in b.sequence_names]
    assert len(in_memory) > 0 and from_file


def test_site_columns_survive_pickling_and_are_checked(case):
    import pickle
    motifs, _, records, _ = case
    batch = _engine.scan_text(motifs, "chr2", records["chr2"], site=True)
    again = pickle.loads(pickle.dumps(batch))
    assert (again.columns()["site"] == batch.columns()["site"]).all()
    columns = batch.columns()
    columns["site"] = columns["site"][:-1]
    with pytest.raises(ValueError, match="equal lengths"):
        _engine.HitBatch.from_columns(columns, batch.sequence_names)
    plain = _engine.scan_text(motifs, "chr2", records["chr2"])
    with pytest.raises(ValueError, match="site"):
        _engine.format_hits(plain, "tsv", motifs=motifs, site=True)


MEMORY_CHILD = textwrap.dedent("""
    import numpy as np, sys
    from vokscan import _engine
    rows = np.tile(np.eye(4, dtype=np.float32), (2, 1))[:6]
    count = 100
    motifs = _engine.MotifSet(ids=[f"M{k}" for k in range(count)], names=[""] * count,
                              matrices=[rows] * count, css=[0.0] * count, mss=[-1.0] * count)
    letters = np.frombuffer(b"ACGT", np.uint8)[np.random.default_rng(3).integers(0, 4, 90_000)]
    with open(sys.argv[1], "wb") as out:
        out.write(b">r\\n" + letters.tobytes() + b"\\n")
    size = 0
    with _engine.FastaScan(motifs, [sys.argv[1]], threads=int(sys.argv[2]), format="tsv",
                           site=True) as scan:
        for lines in scan:
            size += lines.nbytes
    # VmHWM: the peak of this program's own memory; ru_maxrss would start
    # from the peak of the process it was forked from.
    with open("/proc/self/status") as status:
        peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    print(size, peak)
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory and quarantine are counted as resident")
@pytest.mark.parametrize("threads", [1, 3])
def test_memory_stays_bounded_when_every_window_is_a_hit(tmp_path, threads):
    """18 million hits, about 600 MB of lines: the scan holds a few tens of MB."""
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(tmp_path / "in.fa"), str(threads)],
                         capture_output=True, text=True, timeout=300, check=True)
    size, peak_kib = (int(field) for field in out.stdout.split())
    assert size > 500e6
    # The child's own peak: not that of other children, nor of this process.
    assert peak_kib / 1024 < 256


DATA = Path(__file__).resolve().parents[2] / "examples" / "data"


@pytest.mark.parametrize("fmt, site_field", [("tsv", 10), ("bed+", 9)])
def test_command_site_column(fmt, site_field):
    command = [sys.executable, "-m", "vokscan", "--quiet", "--site", "--format", fmt,
               str(DATA / "jaspar_core_vertebrates.transfac"), str(DATA / "lambda_virus.fa")]
    out = subprocess.run(command, capture_output=True, text=True, timeout=120, check=True).stdout
    lines = out.splitlines()
    if fmt == "tsv":
        assert lines.pop(0).endswith("\tcore\tpvalue\tsite")
    fields = [line.split("\t") for line in lines]
    assert len(fields) > 20 and all(len(f) == site_field + 1 for f in fields)
    assert all(len(f[site_field]) == int(f[2]) - int(f[1]) and set(f[site_field]) <= set("ACGTacgt")
               for f in fields)


def test_command_refuses_a_site_column_in_bed():
    result = subprocess.run([sys.executable, "-m", "vokscan", "--site", "--format", "bed",
                             str(DATA / "jaspar_core_vertebrates.transfac"), str(DATA / "lambda_virus.fa")],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 2 and "--site" in result.stderr and result.stdout == ""


@pytest.mark.parametrize("as_frame", [False, True])
def test_api_site_column_from_files_and_memory(tmp_path, as_frame):
    if as_frame:
        pytest.importorskip("pandas")
    from vokscan import scan_to_dataframe
    text = (DATA / "lambda_virus.fa").read_text().split("\n", 1)[1].replace("\n", "")
    text = text[:20000].lower() + text[20000:]
    path = tmp_path / "lambda.fa"
    path.write_text(">lambda\n" + text + "\n")
    motifs = DATA / "jaspar_core_vertebrates.transfac"
    tables = [scan_to_dataframe(motifs, source, site=True, as_frame=as_frame, mss=0.85)
              for source in (path, {"lambda": text})]
    for table in tables:
        assert list(table.keys())[-1] == "site"
        sites = list(table["site"])
        assert len(sites) > 20 and any(site.islower() for site in sites)
        for start, end, strand, site in zip(table["start"], table["end"], table["strand"], sites):
            window = text[start:end]
            assert site == (window if strand == "+" else window[::-1].translate(COMPLEMENT))
    assert list(tables[0]["site"]) == list(tables[1]["site"])


@pytest.mark.parametrize("threads", [0, 1, 3])
def test_pvalue_tables_built_on_workers_are_those_of_one_thread(case, threads):
    motifs, path, _, tables = case
    with _engine.FastaScan(motifs, [str(path)], strand="both") as scan:
        batches = list(scan)
    assert sum(len(batch) for batch in batches) > 100
    built = _engine.HitPValues(motifs, [0.3, 0.2, 0.2, 0.3], "both", threads=threads)
    for batch in batches:
        np.testing.assert_array_equal(built.lookup(batch), tables["both"].lookup(batch))
    with pytest.raises(ValueError, match="threads must be"):
        _engine.HitPValues(motifs, threads=-1)
