"""Regions of a genome: BED lines and their errors, indexed reads, and scans
of regions equal to scans of the same letters cut out by hand."""

import gzip
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import vokscan
from vokscan import indexed_fasta
from vokscan.indexed_fasta import IndexedFasta
from vokscan.regions import RegionError, read_bed, regions_from_frame

from synthetic import MOTIFS, random_letters, write_bed, write_fasta

pytest.importorskip("vokscan._engine")
LENGTHS = {"chr1": 1000, "chr2": 50}


def test_bed_lines_of_every_width_with_names_and_skipped_lines(tmp_path):
    bed = tmp_path / "r.bed"
    bed.write_text("track name=peaks\nbrowser position chr1:1-100\n# a comment\n\n"
                   "chr1\t10\t20\n"
                   "chr1\t0\t1000\tall\t500\t+\textra\n"
                   "chr2 5 5 . 0 -\n"
                   "chr1\t990\t1000\tlast\r\n")
    regions = read_bed(bed, LENGTHS)
    assert regions.names == ["chr1:10-20", "all", "chr2:5-5", "last"]
    assert [regions.chrom_of(i) for i in range(4)] == ["chr1", "chr1", "chr2", "chr1"]
    assert regions.start.tolist() == [10, 0, 5, 990] and regions.end.tolist() == [20, 1000, 5, 1000]


@pytest.mark.parametrize("line, message", [
    ("chr1\t10", "line 2: a BED line needs chrom, start and end"),
    ("chr1\tten\t20", "line 2: start 'ten' is not a whole number"),
    ("chr1\t-5\t20", "line 2: start -5 is negative"),
    ("chrX\t1\t2", "line 2: unknown chromosome 'chrX' (not in the genome)"),
    ("chr1\t30\t20", "line 2: start 30 lies after end 20"),
    ("chr2\t40\t51", "line 2: chr2:40-51 runs past the end of chr2 (50 bases)"),
])
def test_bad_bed_lines_name_file_and_line(tmp_path, line, message):
    bed = tmp_path / "bad.bed"
    bed.write_text(f"chr1\t1\t2\n{line}\n")
    with pytest.raises(RegionError) as error:
        read_bed(bed, LENGTHS)
    assert str(error.value) == f"{bed}: {message}"


def test_regions_from_a_frame_are_checked_by_row():
    frame = pd.DataFrame({"chrom": ["chr1", "chr2"], "start": [5, 0], "end": [10, 60]})
    with pytest.raises(RegionError, match="row 1: chr2:0-60 runs past the end"):
        regions_from_frame(frame, LENGTHS)
    regions = regions_from_frame(frame.assign(end=[10, 50], name=["a", "b"]), LENGTHS)
    assert regions.names == ["a", "b"]
    with pytest.raises(RegionError, match="lacks the column"):
        regions_from_frame(frame.drop(columns="end"), LENGTHS)


def write_bgzip(path, text: str):
    from Bio import bgzf

    with bgzf.BgzfWriter(str(path), "wb") as handle:
        handle.write(text.encode())
    return path


def gzip_with_extra(text: str, subfield: bytes) -> bytes:
    """One gzip member whose header carries an extra field with `subfield`
    (BGZF's is b"BC"; dictzip writes b"RA")."""
    import struct
    import zlib

    data = text.encode()
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = compressor.compress(data) + compressor.flush()
    extra = subfield + struct.pack("<H", 2) + struct.pack("<H", len(body) + 25)
    header = b"\x1f\x8b\x08\x04" + b"\x00" * 4 + b"\x00\xff" + struct.pack("<H", len(extra)) + extra
    return header + body + struct.pack("<II", zlib.crc32(data), len(data))


@pytest.mark.parametrize("content, expected", [
    (b">a\nACGT\n", "plain"),
    (gzip_with_extra(">a\nACGT\n", b"BC"), "bgzip"),
    (gzip_with_extra(">a\nACGT\n", b"RA"), "gzip"),  # an extra field, but not BGZF's
    (gzip.compress(b">a\nACGT\n"), "gzip"),
    (b"\x1f\x8b", "gzip"),
], ids=["plain", "bgzip", "other-extra-field", "gzip", "gzip-magic-only"])
def test_compression_is_told_from_the_content(tmp_path, content, expected):
    path = tmp_path / "in.fa.gz"
    path.write_bytes(content)
    assert indexed_fasta.compression_of(str(path)) == expected
    if expected == "gzip":
        with pytest.raises(indexed_fasta.UnindexableFasta, match="recompress it with bgzip"):
            IndexedFasta(str(path))


@pytest.fixture(scope="module")
def genome(tmp_path_factory):
    folder = tmp_path_factory.mktemp("genome")
    rng = np.random.default_rng(2)
    chromosomes = [("chr1", random_letters(rng, 30_000)), ("chr2", random_letters(rng, 8000) + "NNNN" +
                                                           random_letters(rng, 3000).lower())]
    plain = write_fasta(folder / "g.fa", chromosomes, width=70)
    text = plain.read_text()
    packed = write_bgzip(folder / "g.fa.gz", text)
    return {"plain": plain, "bgzip": packed, "sequences": dict(chromosomes)}


@pytest.mark.parametrize("kind", ["plain", "bgzip"])
def test_read_many_equals_single_reads_in_any_order(genome, kind, monkeypatch):
    monkeypatch.setattr(indexed_fasta._BgzipCursor, "SKIP_LIMIT", 500)  # re-seeks as well as skips
    fasta = IndexedFasta(str(genome[kind]))
    records = {r.name: r for r in fasta.records}
    rng = np.random.default_rng(3)
    requests = []
    for _ in range(200):
        name = ["chr1", "chr2"][int(rng.integers(2))]
        start = int(rng.integers(0, records[name].length))
        end = min(records[name].length, start + int(rng.integers(0, 900)))
        requests.append((records[name], start, end))
    got = fasta.read_many(requests)
    assert got == [genome["sequences"][r.name][s:e].encode() for r, s, e in requests]


def region_table(sequences):
    rows = [("chr1", 100, 700, "a"), ("chr2", 7800, 8300, "across_n"), ("chr1", 500, 900, "overlaps_a"),
            ("chr2", 8000, 11004, "soft_masked_end"), ("chr1", 29_990, 30_000, "tiny"), ("chr1", 50, 50, "empty")]
    return pd.DataFrame(rows, columns=["chrom", "start", "end", "name"])


@pytest.mark.parametrize("kind", ["plain", "bgzip"])
def test_a_region_scan_equals_a_scan_of_its_letters_in_genome_coordinates(genome, kind):
    regions = region_table(genome["sequences"])
    options = {"css": 0.8, "mss": 0.75}
    got = vokscan.scan_to_dataframe(MOTIFS, genome[kind], regions=regions, **options)
    expected = []
    for row in regions.itertuples():
        letters = genome["sequences"][row.chrom][row.start:row.end]
        hits = vokscan.scan_to_dataframe(MOTIFS, {row.name: letters}, **options)
        hits = hits.assign(sequence=row.chrom, region=row.name, start=hits["start"] + row.start,
                           end=hits["end"] + row.start, core=hits["core"] + row.start)
        expected.append(hits)
    expected = pd.concat(expected, ignore_index=True)
    assert list(got.columns[:2]) == ["sequence", "region"]
    assert len(got) > 50 and set(got["region"]) >= {"a", "overlaps_a", "across_n"}
    columns = ["sequence", "region", "start", "end", "motif_id", "strand", "css", "mss", "core"]
    pd.testing.assert_frame_equal(got[columns].astype(str), expected[columns].astype(str))
    batches = list(vokscan.scan(MOTIFS, genome[kind], regions=regions, **options))
    assert sum(len(b) for b in batches) == len(got)


def test_the_command_adds_a_region_column_to_tsv_only(genome, tmp_path):
    bed = write_bed(tmp_path / "r.bed", [("chr1", 100, 700, "a"), ("chr1", 500, 900)])
    command = [sys.executable, "-m", "vokscan", "--mss", "0.75", "--css", "0.8", "--regions", str(bed),
               str(MOTIFS), str(genome["plain"])]
    tsv = subprocess.run(command, capture_output=True, text=True, check=True).stdout.splitlines()
    assert tsv[0].split("\t")[:3] == ["sequence", "region", "start"]
    api = vokscan.scan_to_dataframe(MOTIFS, genome["plain"], regions=bed, mss=0.75, css=0.8)
    assert [line.split("\t")[1] for line in tsv[1:]] == api["region"].astype(str).tolist()
    assert {line.split("\t")[1] for line in tsv[1:]} == {"a", "chr1:500-900"}
    bed_lines = subprocess.run(command + ["-f", "bed"], capture_output=True, text=True, check=True).stdout
    assert [line.split("\t")[:3] for line in bed_lines.splitlines()] == [
        [line.split("\t")[0]] + line.split("\t")[2:4] for line in tsv[1:]]


@pytest.mark.parametrize("fmt", ["tsv", "bed+"])
def test_the_commands_site_and_qvalue_columns_of_regions_are_those_of_their_letters(genome, tmp_path, fmt):
    """Regions scanned as the records of a FASTA of their letters: the same
    sites, and q-values from the same windows scanned."""
    rows = [("chr1", 100, 4000, "a"), ("chr2", 7000, 10000, "b"), ("chr1", 3000, 9000, "c")]
    bed = write_bed(tmp_path / "r.bed", rows)
    letters = write_fasta(tmp_path / "l.fa", [(name, genome["sequences"][chrom][start:end])
                                              for chrom, start, end, name in rows])
    options = ["--quiet", "--pvalue", "1e-3", "--site", "--qvalue", "-f", fmt]

    def fields(*args):
        result = subprocess.run([sys.executable, "-m", "vokscan", *options, *map(str, args)],
                                capture_output=True, text=True, check=True)
        return [line.split("\t") for line in result.stdout.splitlines()]

    got, expected = fields("--regions", bed, MOTIFS, genome["plain"]), fields(MOTIFS, letters)
    if fmt == "tsv":
        header = expected.pop(0)
        assert got.pop(0) == header[:1] + ["region"] + header[1:]
        start_of = {name: start for _, start, _, name in rows}
        # sequence, start, end and core as the records' own, region by region.
        got = [[row[1], *(str(int(row[i]) - start_of[row[1]]) for i in (2, 3)), *row[4:9],
                str(int(row[9]) - start_of[row[1]]), *row[10:]] for row in got]
    else:  # no record names, nor positions, to translate: the fields after them
        got, expected = [row[3:] for row in got], [row[3:] for row in expected]
    assert len(got) == len(expected) > 20
    assert got == expected


@pytest.mark.parametrize("extra, message", [
    (["--regions", "{bed}", "{genome}"], "--regions needs exactly one genome FASTA file"),
    (["--regions", "{bad}"], "bad.bed: line 1: unknown chromosome 'chrQ'"),
])
def test_the_command_refuses_bad_regions_with_one_line(genome, tmp_path, extra, message):
    bed = write_bed(tmp_path / "r.bed", [("chr1", 1, 50)])
    bad = write_bed(tmp_path / "bad.bed", [("chrQ", 1, 50)])
    out = tmp_path / "hits.tsv"
    arguments = [a.format(bed=bed, bad=bad, genome=genome["plain"]) for a in extra]
    result = subprocess.run([sys.executable, "-m", "vokscan", *arguments, str(MOTIFS), str(genome["plain"]),
                             "-o", str(out)], capture_output=True, text=True)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and message in result.stderr
    assert not out.exists() and not list(tmp_path.glob("*.part"))


@pytest.mark.parametrize("chunk_letters", [1, 5, 12, 30, 1000])
def test_records_are_cut_into_chunks_of_about_the_letters_asked(chunk_letters):
    from vokscan.records import chunks_of

    records = [(f"r{i}", "ACGT" * (i + 1)) for i in range(6)]  # 4, 8, ..., 24 letters
    chunks = list(chunks_of(records, chunk_letters))
    assert [name for chunk in chunks for name in chunk.names] == [name for name, _ in records]
    assert [chunk.first for chunk in chunks] == list(np.cumsum([0] + [len(c) for c in chunks[:-1]]))
    for chunk in chunks:
        sizes = [len(text) for text in chunk.texts]
        # A chunk ends with the record that brings it to the size asked, not later.
        assert sum(sizes[:-1]) < chunk_letters
        if chunk is not chunks[-1]:
            assert sum(sizes) >= chunk_letters
