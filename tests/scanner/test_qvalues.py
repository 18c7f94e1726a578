"""q-values: the qvalue column of vok-scan --qvalue (TSV and BED+) and of
scan_to_dataframe(qvalues=True), against a direct computation of their
definition from the hits' p-values and the windows of the records."""

import csv
import gzip
import random
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vokscan
from vokscan import scanning

pytest.importorskip("vokscan._engine")

ROOT = Path(__file__).resolve().parents[2]
MOTIFS = ROOT / "examples" / "data" / "jaspar_core_vertebrates.transfac"
COMMAND = [sys.executable, "-m", "vokscan"]
RECORDS = {"long": 60_000, "short": 9, "mid": 12_000}  # the short one holds no window of any motif


@pytest.fixture(scope="module")
def fasta(tmp_path_factory):
    rng = random.Random(7)
    path = tmp_path_factory.mktemp("q") / "records.fa"
    with open(path, "w") as out:
        for name, length in RECORDS.items():
            seq = "".join(rng.choice("ACGT") for _ in range(length))
            out.write(f">{name}\n" + "\n".join(seq[i:i + 70] for i in range(0, length, 70)) + "\n")
    return path


def defined_qvalues(motif_ids, pvalues, windows):
    """q_i = min over hits j of the motif with p_j >= p_i of
    p_j m / #{hits k of the motif with p_k <= p_j}, at most 1."""
    # The p-values as the float32 they were written from.
    motif_ids = np.asarray(motif_ids)
    pvalues = np.asarray(pvalues, dtype=np.float32).astype(np.float64)
    out = np.empty(len(pvalues))
    for motif in set(motif_ids.tolist()):
        mine = np.flatnonzero(motif_ids == motif)
        p = pvalues[mine]
        rank = (p[None, :] <= p[:, None]).sum(axis=1)  # rank[j] = #{k: p_k <= p_j}
        candidate = p * windows[motif] / rank
        for i, index in enumerate(mine):
            out[index] = min(1.0, candidate[p >= p[i]].min())
    return out


def widths():
    return {record.id: record.matrix.shape[0] for record in scanning.motif_records(MOTIFS)}


def windows_of(lengths, strands=2):
    """Full windows of each motif over records of these lengths, all strands read."""
    return {name: strands * sum(max(0, n - width + 1) for n in lengths)
            for name, width in widths().items()}


def check(motif_ids, pvalues, qvalues, windows):
    expected = defined_qvalues(motif_ids, pvalues, windows)
    # The column holds each q rounded up to a float32 (its text reads back exactly).
    got = np.asarray(qvalues, dtype=np.float32).astype(np.float64)
    assert (got >= expected).all()
    assert np.allclose(got, expected, rtol=2 ** -23, atol=0)


@pytest.mark.parametrize("fmt, name, columns", [
    ("tsv", "hits.tsv.gz", None),
    ("bed+", "hits.bed", ["chrom", "start", "end", "name", "score", "strand", "css", "mss",
                          "pvalue", "qvalue"]),
])
def test_command_adds_the_qvalue_after_the_pvalue(tmp_path, fasta, fmt, name, columns):
    out = tmp_path / name
    result = subprocess.run(COMMAND + ["--qvalue", "--pvalue", "1e-2", "--format", fmt, "-q",
                                       "-o", str(out), str(MOTIFS), str(fasta)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert [p.name for p in tmp_path.iterdir()] == [name]  # no lines file left behind
    opener = gzip.open if name.endswith(".gz") else open
    with opener(out, "rt") as handle:
        table = list(csv.DictReader(handle, delimiter="\t", fieldnames=columns))
    assert table and list(table[0])[-2:] == ["pvalue", "qvalue"]
    key = "motif_id" if columns is None else "name"
    check([row[key] for row in table], [float(row["pvalue"]) for row in table],
          [float(row["qvalue"]) for row in table], windows_of(RECORDS.values()))


def test_dataframe_qvalues(fasta):
    scans = []  # the caller's own on_scan still sees the running scan
    table = vokscan.scan_to_dataframe(MOTIFS, fasta, pvalue=1e-2, qvalues=True, strand="forward",
                                      as_frame=False, on_scan=scans.append)
    assert len(scans) == 1 and scans[0].bytes_read == scans[0].bytes_total > 0
    assert "pvalue" in table and table["qvalue"].dtype == np.float32
    check(table["motif_id"], table["pvalue"], table["qvalue"], windows_of(RECORDS.values(), 1))
    rng = random.Random(3)
    records = {name: "".join(rng.choice("ACGT") for _ in range(n)) for name, n in RECORDS.items()}
    in_memory = vokscan.scan_to_dataframe(MOTIFS, records, pvalue=1e-2, qvalues=True,
                                          as_frame=False)
    assert len(in_memory["qvalue"])
    check(in_memory["motif_id"], in_memory["pvalue"], in_memory["qvalue"],
          windows_of(RECORDS.values()))


@pytest.mark.parametrize("args, message", [
    (["--qvalue", "--format", "bed"], "plain bed"),
    (["--qvalue", "--dask", "local:1"], "--dask"),
])
def test_qvalue_refused_where_it_cannot_be_made(fasta, args, message):
    result = subprocess.run(COMMAND + args + [str(MOTIFS), str(fasta)], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 2 and message in result.stderr
