"""vokscan.enrich and `vok-scan enrich`: planted motifs found, calibrated on
null data, controls that keep what they promise, repeatable runs and
one-line errors for bad input."""

import signal
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import numpy as np
import pytest

import vokscan
from vokscan.commands import enrich as enrich_command
from vokscan.enrichment import COLUMNS
from vokscan.enrichment_stats import binomial_log10_pvalue, gc_bins

from synthetic import (MOTIFS, consensus, genome_with_peaks, planted_peaks, random_letters,
                       write_bed, write_fasta)

pytest.importorskip("vokscan._engine")
COMMAND = [sys.executable, "-m", "vokscan", "enrich"]


def read_fasta(path):
    records, name = [], None
    for line in Path(path).read_text().splitlines():
        if line.startswith(">"):
            name = line[1:]
            records.append([name, ""])
        else:
            records[-1][1] += line
    return [tuple(r) for r in records]


def kmer_counts(text, k):
    counts = Counter()
    for segment in "".join(c if c in "ACGTacgt" else " " for c in text).split():
        segment = segment.upper()
        counts.update(segment[i:i + k] for i in range(len(segment) - k + 1))
    return counts


@pytest.fixture(scope="module")
def planted(tmp_path_factory):
    """A genome whose peaks hold CTCF's and GATA1's consensus in 40 % of them each."""
    folder = tmp_path_factory.mktemp("planted")
    rng = np.random.default_rng(11)
    plants = {consensus("MA0139.2.CTCF"): 0.4, consensus("MA0035.5.GATA1"): 0.4}
    chromosomes, rows = genome_with_peaks(rng, [("chrA", 150_000), ("chrB", 90_000)], 80, 200, plants)
    genome = write_fasta(folder / "genome.fa", chromosomes)
    bed = write_bed(folder / "peaks.bed", rows)
    peaks = write_fasta(folder / "peaks.fa", planted_peaks(rng, 80, 200, plants))
    return {"genome": genome, "bed": bed, "peaks": peaks, "chromosomes": dict(chromosomes), "rows": rows}


@pytest.mark.parametrize("control", ["shuffle", "genome"])
def test_planted_motifs_rank_first(planted, control):
    if control == "shuffle":
        table = vokscan.enrich(MOTIFS, planted["peaks"])
    else:
        table = vokscan.enrich(MOTIFS, planted["bed"], "genome", genome=planted["genome"])
    assert list(table.columns) == COLUMNS
    assert set(table["motif_id"][:2]) == {"MA0139.2.CTCF", "MA0035.5.GATA1"}
    assert (table["qvalue"][:2] < 1e-3).all()
    assert table["rank"].tolist() == list(range(1, len(table) + 1))
    assert (np.diff(table["log10_pvalue"]) >= 0).all()
    assert (table["target_sequences"] == 80).all() and (table["control_sequences"] == 240).all()


def test_qvalues_are_calibrated_on_null_data(tmp_path):
    """Targets and controls of one distribution: few motifs reach q < 0.05,
    and p-values are not smaller than they should be."""
    qvalues, pvalues = [], []
    for seed in range(10):
        rng = np.random.default_rng(100 + seed)
        targets = write_fasta(tmp_path / f"t{seed}.fa", [(f"t{i}", random_letters(rng, 200)) for i in range(150)])
        controls = write_fasta(tmp_path / f"c{seed}.fa", [(f"c{i}", random_letters(rng, 200)) for i in range(450)])
        # About half of the sequences hold a site of a motif: p-values nearly continuous.
        table = vokscan.enrich(MOTIFS, targets, controls, pvalue=2e-3)
        qvalues.extend(table["qvalue"])
        pvalues.extend(table["pvalue"])
    pvalues = np.array(pvalues)
    assert np.mean(np.array(qvalues) < 0.05) <= 0.05
    assert np.mean(pvalues < 0.05) <= 0.08
    assert 0.3 <= np.mean(pvalues < 0.5) <= 0.6


@pytest.mark.parametrize("k", [1, 2, 3])
def test_shuffles_keep_kmer_counts_n_runs_and_case(tmp_path, k):
    rng = np.random.default_rng(k)
    records = []
    for i in range(12):
        text = list(random_letters(rng, 150))
        text[40:47] = list("NNNNNNN")
        text[90:110] = [c.lower() for c in text[90:110]]
        records.append((f"r{i}", "".join(text)))
    targets = write_fasta(tmp_path / "targets.fa", records)
    saved = tmp_path / "control.fa"
    vokscan.enrich(MOTIFS, targets, shuffle_k=k, control_times=3, save_control=saved)
    shuffles = read_fasta(saved)
    assert [name for name, _ in shuffles] == [f"r{i}_shuffle{j}" for i in range(12) for j in (1, 2, 3)]
    for index, (name, text) in enumerate(shuffles):
        original = records[index // 3][1]
        assert kmer_counts(text, k) == kmer_counts(original, k), name
        assert [c.islower() for c in text] == [c.islower() for c in original]
        assert [c == "N" for c in text] == [c == "N" for c in original]
    assert len({text for _, text in shuffles}) == len(shuffles)


def test_genomic_control_matches_length_and_gc_bin_and_avoids_targets_and_n(tmp_path):
    rng = np.random.default_rng(5)
    # A chromosome of rising G+C, an N block and a low-G+C chromosome.
    pieces = [random_letters(rng, 20_000, gc) for gc in (0.3, 0.4, 0.5, 0.6)]
    chromosomes = [("chr1", "".join(pieces) + "N" * 3000 + random_letters(rng, 10_000, 0.45)),
                   # 2 % N scattered: a region's G+C share is of its A/C/G/T, not of its length.
                   ("chr2", "".join(c if i % 50 else "N" for i, c in enumerate(random_letters(rng, 30_000, 0.35))))]
    genome = write_fasta(tmp_path / "genome.fa", chromosomes)
    sequences = dict(chromosomes)
    rows = [("chr1", 1000 + 9000 * i, 1300 + 9000 * i, f"p{i}") for i in range(9)]
    rows += [("chr2", 5000, 5400, "long"), ("chr2", 20_000, 20_300, "p9")]
    bed = write_bed(tmp_path / "peaks.bed", rows)
    saved = tmp_path / "control.fa"
    vokscan.enrich(MOTIFS, bed, "genome", genome=genome, control_times=4, seed=3, save_control=saved)
    controls = read_fasta(saved)
    assert len(controls) == 4 * len(rows)

    def gc_bin(text):
        gc = sum(c in "GCgc" for c in text)
        return gc_bins([gc], [sum(c in "ACGTacgt" for c in text)])[0]

    for index, (name, text) in enumerate(controls):
        chrom, span = name.split(":")
        start, end = (int(v) for v in span.split("-"))
        target = rows[index // 4]
        assert text == sequences[chrom][start:end]
        assert end - start == target[2] - target[1]
        assert gc_bin(text) == gc_bin(sequences[target[0]][target[1]:target[2]])
        assert text.count("N") <= 0.1 * len(text)
        assert all(chrom != c or end <= s or start >= e for c, s, e, _ in rows)


def test_a_seed_repeats_a_run_byte_for_byte(tmp_path, planted):
    outputs = []
    for run, seed in enumerate([7, 7, 8]):
        table, control = tmp_path / f"e{run}.tsv", tmp_path / f"c{run}.fa"
        result = subprocess.run(COMMAND + [str(MOTIFS), str(planted["bed"]), "--genome", str(planted["genome"]),
                                           "--control", "genome", "--seed", str(seed), "-o", str(table),
                                           "--save-control", str(control)], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        outputs.append((table.read_bytes(), control.read_bytes()))
    assert outputs[0] == outputs[1]
    assert outputs[0][1] != outputs[2][1]
    header = outputs[0][0].decode().splitlines()[0]
    assert header.split("\t") == COLUMNS


def test_site_test_compares_site_counts_with_the_windows_scanned(tmp_path):
    rng = np.random.default_rng(8)
    targets = write_fasta(tmp_path / "t.fa", [(f"t{i}", random_letters(rng, 120) + "NNNN" + random_letters(rng, 60))
                                              for i in range(40)])
    controls = write_fasta(tmp_path / "c.fa", [(f"c{i}", random_letters(rng, 300)) for i in range(30)])
    table = vokscan.enrich(MOTIFS, targets, controls, test="sites", pvalue=1e-3)
    lengths = {m.id: m.matrix.shape[0] for m in vokscan.motifs.load_motifs(MOTIFS)}
    for row in table.itertuples():
        length = lengths[row.motif_id]
        target_windows = 40 * ((120 - length + 1) + (60 - length + 1))
        control_windows = 30 * (300 - length + 1)
        assert row.log10_pvalue == pytest.approx(binomial_log10_pvalue(
            row.target_sites, row.control_sites, target_windows, control_windows), rel=1e-12, abs=1e-15)


def test_enrichment_is_inf_when_no_control_has_a_site(tmp_path):
    word = consensus("MA0139.2.CTCF")
    targets = write_fasta(tmp_path / "t.fa", [(f"t{i}", "A" * 40 + word + "A" * 40) for i in range(10)])
    controls = write_fasta(tmp_path / "c.fa", [(f"c{i}", "A" * 95) for i in range(10)])
    table = vokscan.enrich(MOTIFS, targets, controls)
    top = table.iloc[0]
    assert top["motif_id"] == "MA0139.2.CTCF" and top["enrichment"] == np.inf
    lines = vokscan.enrichment.table_lines(table)
    next(lines)
    assert next(lines).split("\t")[9] == "inf"


BAD_INPUTS = [
    ("empty targets", lambda d: [MOTIFS, d / "empty.fa"], "targets: no sequences"),
    ("empty control", lambda d: [MOTIFS, d / "t.fa", "--control", d / "empty.fa"], "control: no sequences"),
    ("BED without genome", lambda d: [MOTIFS, d / "peaks.bed"], "peaks.bed is a BED file"),
    ("all-N targets", lambda d: [MOTIFS, d / "n.fa"], "targets: no window to scan"),
    ("zero control times", lambda d: [MOTIFS, d / "t.fa", "--control-times", "0"], "--control-times must be 1"),
    ("seed not an integer", lambda d: [MOTIFS, d / "t.fa", "--seed", "x"], "--seed: invalid int value"),
    ("protein control", lambda d: [MOTIFS, d / "t.fa", "--control", d / "protein.fa"], "protein.fa): record 'p1', position 3: invalid character 'L'"),
    ("genome control without genome", lambda d: [MOTIFS, d / "t.fa", "--control", "genome"], "needs --genome"),
    ("unknown chromosome", lambda d: [MOTIFS, d / "peaks.bed", "--genome", d / "t.fa"], "unknown chromosome 'chrZ'"),
]


@pytest.mark.parametrize("case, arguments, message", BAD_INPUTS, ids=[c[0] for c in BAD_INPUTS])
def test_bad_input_is_one_line_exit_2_and_no_output(tmp_path, capsys, case, arguments, message):
    (tmp_path / "empty.fa").write_text("")
    write_fasta(tmp_path / "t.fa", [("t1", "ACGTTGCAAGGCTTACGATCGATCGGCTAGCTAGGCTAGCTAGCAT")])
    write_fasta(tmp_path / "n.fa", [("n1", "N" * 50), ("n2", "NNNN")])
    write_fasta(tmp_path / "protein.fa", [("p1", "MKVLAAGIVGLLEEHHKKW")])
    write_bed(tmp_path / "peaks.bed", [("chrZ", 0, 10)])
    out = tmp_path / "out"
    out.mkdir()
    status = enrich_command.main([str(a) for a in arguments(tmp_path)] +
                                 ["-o", str(out / "e.tsv"), "--save-control", str(out / "c.fa"),
                                  "--report", str(out / "r.html")])
    stderr = capsys.readouterr().err
    assert status == 2, stderr
    assert len(stderr.splitlines()) == 1 and stderr.startswith("vok-scan: error:")
    assert message in stderr
    assert list(out.iterdir()) == []


@pytest.mark.parametrize("option", ["--report", "--save-control"])
def test_a_report_or_controls_onto_standard_output_are_refused(tmp_path, capsys, option):
    """Standard output holds the table alone, by its name or a link to it."""
    write_fasta(tmp_path / "t.fa", [("t1", "ACGTTGCAAGGCTTACGATCGATCGGCTAGCTAGGCTAGCTAGCAT")])
    (tmp_path / "out").symlink_to("/proc/self/fd/1")
    status = enrich_command.main([str(MOTIFS), str(tmp_path / "t.fa"), option, str(tmp_path / "out")])
    stderr = capsys.readouterr().err
    assert status == 2 and stderr.count("\n") == 1 and "writes the table alone" in stderr


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_stopped_run_exits_128_plus_the_signal_and_leaves_no_file(tmp_path, signum, status):
    rng = np.random.default_rng(12)
    targets = write_fasta(tmp_path / "t.fa", [(f"t{i}", random_letters(rng, 1000)) for i in range(600)])
    out = tmp_path / "out"
    out.mkdir()
    # Started with SIGINT ignored, as a background job is: the command must still take it.
    with subprocess.Popen(COMMAND + [str(MOTIFS), str(targets), "--control-times", "50", "-o", str(out / "e.tsv"),
                                     "--save-control", str(out / "c.fa")], stderr=subprocess.PIPE,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN)) as child:
        deadline = time.monotonic() + 120
        while not any(p.stat().st_size > 0 for p in out.glob(".c.fa.*.part")):
            assert time.monotonic() < deadline and child.poll() is None
            time.sleep(0.05)
        child.send_signal(signum)
        assert child.wait(timeout=60) == status
        assert child.stderr.read().decode().strip() == "vok-scan: interrupted"
    assert list(out.iterdir()) == []
