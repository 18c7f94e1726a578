"""vokscan.count_sites and `vok-scan count`: the matrix equals counts made
from the hits, in every output format."""

import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import vokscan
from vokscan.commands import count as count_command

from synthetic import MOTIFS, random_letters, write_bed, write_fasta

pytest.importorskip("vokscan._engine")
OPTIONS = {"css": 0.8, "mss": 0.78}


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("count")
    rng = np.random.default_rng(4)
    # Records with and without sites, one all N, a repeated name.
    records = [(f"r{i}", random_letters(rng, int(rng.integers(20, 400)))) for i in range(30)]
    records += [("only_n", "N" * 80), ("r3", random_letters(rng, 300))]
    genome = write_fasta(folder / "genome.fa", [("chr1", "".join(text for _, text in records))])
    bed_rows, at = [], 0
    for name, text in records:
        bed_rows.append(("chr1", at, at + len(text), name))
        at += len(text)
    return {"fasta": write_fasta(folder / "r.fa", records), "genome": genome,
            "bed": write_bed(folder / "r.bed", bed_rows), "records": records}


def expected_matrix(hits, rows, motif_ids, key, value):
    """Row x motif values from a table of hits, record by record."""
    matrix = np.zeros((len(rows), len(motif_ids)))
    positions = {m: j for j, m in enumerate(motif_ids)}
    for (row, motif), group in hits.groupby([key, "motif_id"], observed=True):
        cell = (int(row), positions[motif])
        matrix[cell] = {"count": len(group), "presence": 1, "max_score": group["mss"].max()}[value]
    return matrix


@pytest.mark.parametrize("value", ["count", "presence", "max_score"])
@pytest.mark.parametrize("source", ["fasta", "regions"])
def test_count_sites_equals_counts_of_the_hits(data, value, source):
    motif_ids = [m.id for m in vokscan.motifs.load_motifs(MOTIFS)]
    flags = {"presence": value == "presence", "max_score": value == "max_score"}
    if source == "fasta":
        frame = vokscan.count_sites(MOTIFS, data["fasta"], **flags, **OPTIONS)
        # Records scanned one at a time, so that equal names stay apart.
        parts = [vokscan.scan_to_dataframe(MOTIFS, {name: text}, **OPTIONS).assign(row=i)
                 for i, (name, text) in enumerate(data["records"])]
        hits = pd.concat(parts, ignore_index=True)
    else:
        frame = vokscan.count_sites(MOTIFS, data["genome"], regions=data["bed"], **flags, **OPTIONS)
        hits = vokscan.scan_to_dataframe(MOTIFS, data["genome"], regions=data["bed"], **OPTIONS)
        starts = {s: i for i, s in enumerate(np.cumsum([0] + [len(t) for _, t in data["records"]])[:-1])}
        hits["row"] = [max(i for s, i in starts.items() if s <= start) for start in hits["start"]]
    assert list(frame.index) == [name for name, _ in data["records"]]
    assert list(frame.columns) == motif_ids
    assert all(isinstance(dtype, pd.SparseDtype) for dtype in frame.dtypes)
    expected = expected_matrix(hits, data["records"], motif_ids, "row", value)
    assert expected.sum() > 10
    np.testing.assert_array_equal(frame.sparse.to_dense().to_numpy(dtype=float), expected.astype(np.float32))
    matrix, names, ids = vokscan.count_sites(MOTIFS, data["fasta"], sparse=True, **flags, **OPTIONS)
    assert matrix.shape == (len(data["records"]), len(motif_ids)) and ids == motif_ids
    if source == "fasta":
        np.testing.assert_array_equal(matrix.toarray(), frame.sparse.to_dense().to_numpy())


def test_thresholds_are_chosen_as_the_scan_chooses_them(data):
    """For p = 1e-4 unless an mss is given; a rate and an mss together are refused."""
    default = vokscan.count_sites(MOTIFS, data["fasta"], sparse=True)[0]
    by_rate = vokscan.count_sites(MOTIFS, data["fasta"], pvalue=1e-4, sparse=True)[0]
    looser = vokscan.count_sites(MOTIFS, data["fasta"], pvalue=1e-2, sparse=True)[0]
    assert default.sum() > 0 and (default != by_rate).nnz == 0 and looser.sum() > default.sum()
    with pytest.raises(ValueError, match="not both"):
        vokscan.count_sites(MOTIFS, data["fasta"], pvalue=1e-3, mss=0.8)


def read_output(path, fmt):
    """(values, row names, motif ids) of a written matrix."""
    if fmt == "tsv":
        table = pd.read_csv(path, sep="\t", index_col=0)
        return table.fillna(0).to_numpy(dtype=float), list(table.index), list(table.columns)
    if fmt == "npz":
        from scipy import sparse

        stored = np.load(path)
        return sparse.load_npz(path).toarray(), list(stored["row_names"]), list(stored["col_names"])
    if fmt == "mtx":
        from scipy import io

        base = str(path)[:-4]
        rows = Path(base + ".rows.tsv").read_text().splitlines()
        cols = [line.split("\t")[0] for line in Path(base + ".cols.tsv").read_text().splitlines()]
        return io.mmread(path).toarray(), rows, cols
    anndata = pytest.importorskip("anndata")
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=".*names are not unique")  # the repeated record name
        table = anndata.read_h5ad(path)
    return table.X.toarray(), list(table.obs_names), list(table.var_names)


@pytest.mark.parametrize("fmt", ["tsv", "npz", "mtx", "h5ad"])
@pytest.mark.parametrize("flag", [[], ["--presence"], ["--max-score"]])
def test_every_output_format_holds_the_same_matrix(data, tmp_path, monkeypatch, fmt, flag):
    monkeypatch.setattr(vokscan.records, "CHUNK_LETTERS", 1500)  # rows written in several chunks
    out = tmp_path / f"counts.{fmt}"
    status = count_command.main(["--css", "0.8", "--mss", "0.78", *flag, "--regions", str(data["bed"]),
                                 str(MOTIFS), str(data["genome"]), "-o", str(out)])
    assert status == 0
    values, rows, cols = read_output(out, fmt)
    matrix, names, ids = vokscan.count_sites(MOTIFS, data["genome"], regions=data["bed"], sparse=True,
                                             presence=flag == ["--presence"], max_score=flag == ["--max-score"],
                                             **OPTIONS)
    assert rows == names and cols == ids
    np.testing.assert_array_equal(values.astype(np.float32), matrix.toarray())
    assert not list(tmp_path.glob("*.part"))


def test_the_wide_tsv_names_its_first_column_and_leaves_missing_scores_empty(data, tmp_path):
    out = tmp_path / "c.tsv"
    assert count_command.main(["--max-score", "--css", "0.8", "--mss", "0.78", str(MOTIFS), str(data["fasta"]),
                               "-o", str(out)]) == 0
    lines = out.read_text().splitlines()
    assert lines[0].split("\t")[0] == "sequence"
    only_n = next(line for line in lines if line.startswith("only_n\t"))
    assert only_n.split("\t")[1:] == [""] * 8


@pytest.mark.parametrize("arguments, message", [
    (["-o", "{out}/counts.xlsx"], "cannot tell the format from the name"),
    (["--presence", "--max-score", "-o", "{out}/c.tsv"], "not allowed with argument"),
    (["--regions", "{bad}", "-o", "{out}/c.npz"], "bad.bed: line 1: start 9 lies after end 3"),
])
def test_bad_requests_are_one_line_exit_2_and_no_file(data, tmp_path, capsys, arguments, message):
    bad = write_bed(tmp_path / "bad.bed", [("chr1", 9, 3)])
    out = tmp_path / "out"
    out.mkdir()
    arguments = [a.format(out=out, bad=bad) for a in arguments]
    sequences = [str(data["genome"])]
    assert count_command.main([*arguments, str(MOTIFS), *sequences]) == 2
    stderr = capsys.readouterr().err
    assert stderr.count("\n") == 1 and message in stderr
    assert list(out.iterdir()) == []
