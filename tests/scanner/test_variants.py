"""Variant effects: planted sites that variants break or create, scores
against the scanner's on the allele sequences, every input route, and the
command's messages and exit statuses."""

import gzip
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import vokscan

pytest.importorskip("vokscan._engine")
pd = pytest.importorskip("pandas")
pysam = pytest.importorskip("pysam")

ROOT = Path(__file__).resolve().parents[2]
MOTIFS = ROOT / "examples" / "data" / "jaspar_core_vertebrates.transfac"
LAMBDA = ROOT / "examples" / "data" / "lambda_virus.fa"
COMMAND = [sys.executable, "-m", "vokscan", "variants"]
COMPLEMENT = str.maketrans("ACGT", "TGCA")

# A motif whose five central positions are sharp (its core) and the rest
# milder; one core mismatch fails css 0.95, and random bases pass rarely.
SITE = "TGCAGTCATG"
SHARP = [[97 if b == letter else 1 for b in "ACGT"] if 3 <= i < 8 else
         [70 if b == letter else 10 for b in "ACGT"] for i, letter in enumerate(SITE)]
PLANTED_MOTIF = [("SITE", np.array(SHARP, dtype=np.float32))]


def revcomp(text):
    return text.translate(COMPLEMENT)[::-1]


def random_bases(rng, count):
    return "".join(rng.choice("ACGT") for _ in range(count))


def write_fasta(path, records):
    with open(path, "w") as out:
        for name, sequence in records.items():
            out.write(f">{name}\n")
            out.writelines(sequence[i:i + 60] + "\n" for i in range(0, len(sequence), 60))
    return path


def write_vcf(path, rows, contigs=("chrA", "chrB")):
    with open(path, "w") as out:
        out.write("##fileformat=VCFv4.2\n")
        out.writelines(f"##contig=<ID={name}>\n" for name in contigs)
        out.write("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n")
        out.writelines("\t".join(map(str, row)) + "\t.\t.\t.\n" for row in rows)
    return path


@pytest.fixture(scope="module")
def planted(tmp_path_factory):
    """A genome with four planted cases and the VCF of their variants."""
    rng = random.Random(5)
    bases = list(random_bases(rng, 3000))

    def plant(at, text):
        bases[at:at + len(text)] = text

    broken = SITE[:4] + "A" + SITE[5:]                   # core base 4 mutated
    plant(500, SITE)                                      # an SNV in its core breaks it
    plant(1000, broken)                                   # an SNV restores it
    plant(1500, SITE[:5] + "CCCCCC" + SITE[5:])           # a deletion joins its halves
    plant(2000, revcomp(SITE))                            # an insertion splits it (minus strand)
    genome = "".join(bases)
    folder = tmp_path_factory.mktemp("planted")
    fasta = write_fasta(folder / "genome.fa", {"chrA": genome, "chrB": "ACGTACGT"})
    other = "G" if SITE[4] != "G" else "T"
    rows = [("chrA", 505, "broken", SITE[4], other),
            ("chrA", 1005, "created", "A", SITE[4]),
            ("chrA", 1505, "joined", SITE[4] + "CCCCCC", SITE[4]),
            ("chrA", 2005, "split", genome[2004], genome[2004] + "AAAAAAA"),
            ("chrA", 2800, "far", genome[2799], "A" if genome[2799] != "A" else "C")]
    return fasta, write_vcf(folder / "planted.vcf", rows), genome


@pytest.mark.parametrize("ident, effect, strand, offset", [
    ("broken", "loss", "+", -4),
    ("created", "gain", "+", -4),
    ("joined", "gain", "+", -4),
    ("split", "loss", "-", -4),
])
def test_planted_sites_are_lost_or_gained(planted, ident, effect, strand, offset):
    fasta, vcf, _ = planted
    frame = vokscan.variant_effects(PLANTED_MOTIF, fasta, vcf, css=0.95, mss=0.85)
    assert "far" not in set(frame["id"])
    row = frame[frame["id"] == ident].iloc[0]
    assert row["effect"] == effect
    passing = "ref" if effect == "loss" else "alt"
    assert (row[f"{passing}_strand"], row[f"{passing}_offset"]) == (strand, offset)
    assert row[f"{passing}_css"] >= 0.95 and row[f"{passing}_mss"] >= 0.85
    assert np.isclose(row["delta_mss"], row["alt_mss"] - row["ref_mss"])


@pytest.mark.parametrize("strand, idents", [
    ("both", {"broken", "created", "joined", "split"}),
    ("forward", {"broken", "created", "joined"}),  # the split site is on the minus strand
])
def test_strands_scored_as_asked(planted, strand, idents):
    fasta, vcf, _ = planted
    frame = vokscan.variant_effects(PLANTED_MOTIF, fasta, vcf, css=0.95, mss=0.85, strand=strand)
    assert set(frame["id"]) == idents
    if strand == "forward":
        assert set(frame["ref_strand"]) | set(frame["alt_strand"]) == {"+"}


def allele_windows(genome, pos, ref, alt, kind, context):
    """(REF allele, ALT allele, allele index of POS, changed spans on each)."""
    start = pos - 1
    lo, hi = max(0, start - context), min(len(genome), start + len(ref) + context)
    ref_seq = genome[lo:hi]
    alt_seq = genome[lo:start] + alt + genome[start + len(ref):hi]
    at = start - lo
    if kind in ("snv", "mnv"):
        spans = ((at, at + len(ref)), (at, at + len(alt)))
    elif kind == "padded":  # the last base is shared: only the first changed
        spans = ((at, at + 1), (at, at + 1))
    elif kind == "del":
        spans = ((at + 1, at + len(ref)), (at + 1, at + 1))
    else:
        spans = ((at + 1, at + 1), (at + 1, at + len(alt)))
    return ref_seq, alt_seq, at, spans


def touches(start, length, span):
    first, end = span
    if first == end:  # a junction: the window holds both bases beside it
        return start <= first - 1 and start + length >= first + 1
    return start < end and start + length > first


def random_variants(genome, rng, count):
    rows = []
    for number in range(count):
        kind = rng.choice(["snv", "snv", "mnv", "padded", "del", "ins"])
        pos = rng.choice([1, 2, len(genome) - 1, len(genome)]) if number < 6 else rng.randrange(1, len(genome) - 25)
        if kind in ("del", "mnv", "padded") and pos > len(genome) - 4:
            kind = "snv"
        if kind == "snv":
            ref = genome[pos - 1]
            alt = rng.choice([b for b in "ACGT" if b != ref])
        elif kind == "mnv":
            ref = genome[pos - 1:pos + 2]
            alt = "".join(rng.choice([b for b in "ACGT" if b != r]) for r in ref)
        elif kind == "padded":
            ref = genome[pos - 1:pos + 1]
            alt = rng.choice([b for b in "ACGT" if b != ref[0]]) + ref[1]
        elif kind == "del":
            ref = genome[pos - 1:pos + rng.randint(1, 20)]
            alt = ref[0]
        else:
            ref = genome[pos - 1]
            alt = ref + random_bases(rng, rng.randint(1, 20))
        rows.append((kind, pos, ref, alt))
    return rows


@pytest.fixture(scope="module")
def lambda_genome(tmp_path_factory):
    """The bundled genome, copied where its index may be written."""
    path = tmp_path_factory.mktemp("lambda") / LAMBDA.name
    path.write_bytes(LAMBDA.read_bytes())
    return path


def test_every_score_is_the_scanners_on_the_allele_sequence(lambda_genome):
    genome = "".join(LAMBDA.read_text().split("\n", 1)[1].split())
    chrom = "gi|9626243|ref|NC_001416.1|"
    rows = random_variants(genome, random.Random(11), 60)
    table = pd.DataFrame({"chrom": chrom, "pos": [r[1] for r in rows],
                          "ref": [r[2] for r in rows], "alt": [r[3] for r in rows],
                          "id": [f"v{i}" for i in range(len(rows))]})
    effects = vokscan.variant_effects(MOTIFS, lambda_genome, table, css=0.0, mss=0.8, all=True)
    motifs = vokscan.scanning.motif_records(MOTIFS)
    context = max(m.matrix.shape[0] for m in motifs) - 1
    assert len(effects) == len(rows) * len(motifs)
    alleles = {}
    for i, (kind, pos, ref, alt) in enumerate(rows):
        ref_seq, alt_seq, at, spans = allele_windows(genome, pos, ref, alt, kind, context)
        alleles[f"v{i}"] = (at, spans)
        alleles[f"v{i} ref"], alleles[f"v{i} alt"] = ref_seq, alt_seq
    sequences = [(k, v) for k, v in alleles.items() if " " in k]
    hits = vokscan.scan_to_dataframe(MOTIFS, sequences, css=0.0, mss=0.0, pvalues=True)
    # A p-value is the scanner's under the run's own thresholds: where the
    # window passes them, the same bits; below them, where the scanner
    # reports nothing, within the 1 % every p-value keeps of the exact one.
    passing = vokscan.scan_to_dataframe(MOTIFS, sequences, css=0.0, mss=0.8, pvalues=True)
    for frame in (hits, passing):
        frame["sequence"] = frame["sequence"].astype(str)
        frame["motif_id"] = frame["motif_id"].astype(str)
    passing_pvalue = {(r.sequence, r.motif_id, r.start, r.strand): r.pvalue for r in passing.itertuples()}
    lengths = {m.id: m.matrix.shape[0] for m in motifs}
    groups = dict(tuple(hits.groupby(["sequence", "motif_id"], sort=False)))
    for row in effects.itertuples():
        at, spans = alleles[row.id]
        for index, allele in enumerate(("ref", "alt")):
            candidates = groups[(f"{row.id} {allele}", row.motif_id)]
            length = lengths[row.motif_id]
            mask = [touches(s, length, spans[index]) for s in candidates["start"]]
            candidates = candidates[mask]
            if candidates.empty:
                assert pd.isna(getattr(row, f"{allele}_strand"))
                continue
            # Highest mss; ties to the leftmost, then to the forward strand.
            order = candidates.assign(minus=candidates["strand"] == "-").sort_values(
                ["mss", "start", "minus"], ascending=[False, True, True], kind="stable")
            best = order.iloc[0]
            assert getattr(row, f"{allele}_strand") == best["strand"], row
            assert getattr(row, f"{allele}_offset") == best["start"] - at, row
            for score in ("css", "mss"):
                assert np.float32(getattr(row, f"{allele}_{score}")).tobytes() == \
                    np.float32(best[score]).tobytes(), (row, score)
            pvalue = np.float32(getattr(row, f"{allele}_pvalue"))
            key = (f"{row.id} {allele}", row.motif_id, best["start"], best["strand"])
            if best["mss"] >= np.float32(0.8):
                assert pvalue.tobytes() == np.float32(passing_pvalue[key]).tobytes(), row
            else:
                assert abs(pvalue / np.float32(best["pvalue"]) - 1) <= 0.0101, row
        expected = (row.alt_mss >= np.float32(0.8)) + 2 * (row.ref_mss >= np.float32(0.8))
        assert row.effect == ("none", "gain", "loss", "both")[expected]


def test_passing_rows_are_the_passing_pairs_of_all(lambda_genome):
    genome = "".join(LAMBDA.read_text().split("\n", 1)[1].split())
    rows = random_variants(genome, random.Random(3), 300)
    table = pd.DataFrame({"chrom": "gi|9626243|ref|NC_001416.1|", "pos": [r[1] for r in rows],
                          "ref": [r[2] for r in rows], "alt": [r[3] for r in rows]})
    passing = vokscan.variant_effects(MOTIFS, lambda_genome, table)
    everything = vokscan.variant_effects(MOTIFS, lambda_genome, table, all=True)
    expected = everything[everything["effect"] != "none"].reset_index(drop=True)
    assert len(passing) > 10
    pd.testing.assert_frame_equal(passing, expected, check_categorical=False)


def test_every_input_route_gives_the_same_table(planted, tmp_path):
    fasta, vcf, _ = planted
    bgzipped = tmp_path / "planted.vcf.gz"
    pysam.tabix_compress(str(vcf), str(bgzipped))
    bcf = tmp_path / "planted.bcf"
    with pysam.VariantFile(str(vcf)) as source, pysam.VariantFile(str(bcf), "wb", header=source.header) as out:
        for record in source:
            out.write(record)
    rows = [line.split("\t")[:5] for line in vcf.read_text().splitlines() if not line.startswith("#")]
    tsv = tmp_path / "planted.tsv"
    tsv.write_text("".join(f"{c}\t{p}\t{r}\t{a}\t{i}\n" for c, p, i, r, a in rows))
    frame = pd.DataFrame(rows, columns=["chrom", "pos", "id", "ref", "alt"])
    frame["pos"] = frame["pos"].astype(int)
    tables = [vokscan.variant_effects(PLANTED_MOTIF, fasta, source, css=0.95, mss=0.85)
              for source in (vcf, bgzipped, bcf, tsv, frame)]
    assert len(tables[0]) == 4
    for other in tables[1:]:
        pd.testing.assert_frame_equal(tables[0], other)


def test_alleles_of_a_record_each_and_skipped_ones_counted(planted, tmp_path):
    fasta, _, genome = planted
    vcf = write_vcf(tmp_path / "multi.vcf", [
        ("chrA", 505, "m", SITE[4], f"<DEL>,T,*,{SITE[4]}TT,C[chrA:10[,C"),
        ("chrA", 504, "long", genome[503], genome[503] + "A" * 60)])
    with pytest.warns(UserWarning, match=r"skipped 4 ALT alleles: 3 symbolic .*, 1 longer than "
                                         r"the indel limit of 50 bases"):
        frame = vokscan.variant_effects(PLANTED_MOTIF, fasta, vcf, css=0.95, mss=0.85, all=True)
    assert list(frame["alt"]) == ["T", f"{SITE[4]}TT", "C"]
    assert frame.attrs["skipped"]["symbolic"] == 3


def test_chromosome_ends_are_scored_with_the_context_there_is(planted, tmp_path):
    fasta, _, genome = planted
    vcf = write_vcf(tmp_path / "ends.vcf", [("chrA", 1, "first", genome[0], "N"),
                                            ("chrA", 3000, "last", genome[-1], genome[-1] + "ACG"),
                                            ("chrB", 4, "short", "T", "A")])
    frame = vokscan.variant_effects(PLANTED_MOTIF, fasta, vcf, all=True)
    first, last, short = (frame.iloc[i] for i in range(3))
    assert (first["ref_offset"], first["ref_strand"] in "+-") == (0, True)
    assert pd.isna(first["alt_strand"])  # every ALT window holds the N
    # An insertion after the last base: no REF window holds the junction;
    # ALT's three windows end at the chromosome's end.
    assert -8 <= last["alt_offset"] <= -6 and pd.isna(last["ref_offset"])
    assert short[["ref_strand", "alt_strand"]].isna().all() and short["effect"] == "none"


def run(*args):
    return subprocess.run(COMMAND + [str(a) for a in args], capture_output=True, text=True, timeout=120)


def test_command_writes_the_tables_rows(planted, tmp_path):
    fasta, vcf, _ = planted
    motifs = tmp_path / "site.jaspar"
    motifs.write_text(">SITE planted\n" + "".join(
        f"{b} [ {' '.join(str(row[j]) for row in SHARP)} ]\n" for j, b in enumerate("ACGT")))
    out = tmp_path / "effects.tsv.gz"
    done = run("--css", 0.95, "--mss", 0.85, "-o", out, motifs, fasta, vcf)
    assert done.returncode == 0 and done.stdout == "" and done.stderr == ""
    lines = gzip.decompress(out.read_bytes()).decode().splitlines()
    frame = vokscan.variant_effects(motifs, fasta, vcf, css=0.95, mss=0.85)
    assert lines[0].split("\t") == list(frame.columns)
    table = pd.read_csv(out, sep="\t", keep_default_na=False, dtype=str)
    labels = ["chrom", "pos", "id", "ref", "alt", "motif_id", "motif_name", "effect"]
    assert table[labels].values.tolist() == frame[labels].astype(str).values.tolist()
    for column in ("ref_css", "alt_mss", "ref_pvalue", "log10_pvalue_ratio"):
        written = [np.float32(v) if v else np.nan for v in table[column]]
        assert np.array_equal(np.array(written, np.float32), frame[column].to_numpy(), equal_nan=True)
    assert "\t\t\t\t\t" not in "".join(lines)  # every planted row has both windows


@pytest.mark.parametrize("change, args, message", [
    ("chrA\t505\tbroken\tC", [], r"line 5: REF 'C' at chrA:505 does not match the genome's 'G'"),
    ("chr1\t505\tbroken", [], r"line 5: chromosome 'chr1' does not occur in the genome .*"
                               r"named like 'chrA'"),
    ("chrA\tfive\tbroken", [], r"line 5: Could not parse the position 'five'"),
    ("chrA\t505\tbroken\tG", ["--max-indel", "-1"], r"--max-indel must be 0 or more"),
])
def test_bad_input_exits_2_naming_the_line(planted, tmp_path, change, args, message):
    fasta, vcf, _ = planted
    lines = vcf.read_text().splitlines(keepends=True)
    fields = lines[4].split("\t")
    lines[4] = "\t".join(change.split("\t") + fields[len(change.split("\t")):])
    bad = tmp_path / "bad.vcf"
    bad.write_text("".join(lines))
    out = tmp_path / "effects.tsv"
    done = run(*args, "-o", out, MOTIFS, fasta, bad)
    assert done.returncode == 2, done.stderr
    assert len(done.stderr.splitlines()) == 1
    assert __import__("re").search(message, done.stderr), done.stderr
    assert not out.exists() and not list(tmp_path.glob("*.part"))


def test_mismatches_skipped_on_request(planted, tmp_path):
    fasta, vcf, _ = planted
    bad = tmp_path / "bad.tsv"
    bad.write_text("chrom\tpos\tref\talt\nchrA\t505\tT\tG\nchrA\t1005\tT\tG,C\n")
    done = run("--skip-mismatches", MOTIFS, fasta, bad)
    assert done.returncode == 0
    assert done.stderr == ("vok-scan: warning: skipped 3 ALT alleles: 3 whose REF does not "
                           "match the genome\n")
    assert done.stdout.startswith("chrom\tpos")


@pytest.mark.parametrize("quiet", [False, True], ids=["bar", "--quiet"])
def test_progress_bar_only_on_a_terminal(planted, quiet):
    from test_cli import _stderr_on_terminal

    fasta, vcf, _ = planted
    args = ["variants", MOTIFS, fasta, vcf] + (["--quiet"] if quiet else [])
    status, shown = _stderr_on_terminal(*args)
    assert status == 0
    assert ("variants" in shown and "rows" in shown) != quiet


def test_ctrl_c_stops_with_130_and_no_output_file(planted, tmp_path):
    fasta, _, genome = planted
    rng = random.Random(1)
    variants = tmp_path / "many.tsv"
    with open(variants, "w") as out:
        for _ in range(200_000):
            pos = rng.randrange(1, 3001)
            out.write(f"chrA\t{pos}\t{genome[pos - 1]}\t{'A' if genome[pos - 1] != 'A' else 'C'}\n")
    out = tmp_path / "effects.tsv"
    with subprocess.Popen(COMMAND + ["--all", "-o", str(out), str(MOTIFS), str(fasta), str(variants)],
                          stderr=subprocess.PIPE) as child:
        try:
            deadline = time.monotonic() + 240
            while not any(p.stat().st_size > 0 for p in tmp_path.glob(".effects.tsv.*.part")):
                assert time.monotonic() < deadline and child.poll() is None
                time.sleep(0.05)
            child.send_signal(signal.SIGINT)
            assert child.wait(timeout=60) == 130
            assert "Traceback" not in child.stderr.read().decode()
        finally:
            child.kill()  # a failed check must not wait for the whole run
    assert not out.exists() and not list(tmp_path.glob("*.part"))


@pytest.mark.parametrize("text, ids", [
    ("chrA\t505\tT\tG\nchrA\t1005\tT\tG,C\n", [".", "."]),  # no ID column
    ("chrA\t505\tT\tG\trs1\nchrA\t1005\tT\tG\t.\n", ["rs1", "."]),  # chrom pos ref alt id
    ("chrA\t505\tT\tG\nchrA\t1005\tT\tG\trs2\n", [".", "rs2"]),  # an id on some lines only
    ("#chrom\tpos\tref\talt\tid\nchrA\t505\tT\tG\trs7\n", ["rs7"]),  # named columns
], ids=["four-columns", "five-columns", "some-ids", "header"])
def test_variant_tables_with_and_without_ids(tmp_path, text, ids):
    from vokscan.variant_input import read_variants

    path = tmp_path / "v.tsv"
    path.write_text(text)
    records = list(read_variants(path))
    assert [(r.chrom, r.pos, r.id, r.ref) for r in records] == [("chrA", p, i, "T")
                                                                  for p, i in zip((505, 1005), ids)]


def test_engine_batches_start_at_text_offset_zero_and_refuse_negative_ones():
    from vokscan import _engine

    rows = np.array([[9, 0, 1, 0], [0, 9, 0, 1], [1, 0, 9, 0], [0, 1, 0, 9], [9, 1, 0, 0], [0, 0, 9, 1]],
                    dtype=np.float32)
    motifs = _engine.MotifSet(ids=["M1"], names=["ONE"], matrices=[rows], css=[0.0], mss=[0.0])
    tables = _engine.HitPValues(motifs, threads=1)
    left, right = b"TTACGTAC", b"CGTTAGGA"
    letters = left + b"G" + b"A" + right  # REF G, ALT A, between the two contexts
    slices = np.array([[0, len(left), 1, 1, len(right), 0]], dtype=np.int64)
    assert len(_engine.score_variants(motifs, tables, letters, slices, all=True)) == 1
    slices[0, 0] = -1
    with pytest.raises(ValueError, match="variant 0: negative text offset"):
        _engine.score_variants(motifs, tables, letters, slices, all=True)
