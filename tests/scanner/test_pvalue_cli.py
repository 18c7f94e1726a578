"""vok-scan with p-value thresholds, backgrounds, the pvalue column and the
thresholds command, end to end in child processes."""

import csv
import io
import random
import subprocess
import sys
from pathlib import Path

import pytest

import vok

pytest.importorskip("vokscan._engine")

ROOT = Path(__file__).resolve().parents[2]
MOTIFS = ROOT / "examples" / "data" / "jaspar_core_vertebrates.transfac"
LAMBDA = ROOT / "examples" / "data" / "lambda_virus.fa"
COMMAND = [sys.executable, "-m", "vokscan"]


def run(*args, **kwargs):
    return subprocess.run(COMMAND + [str(a) for a in args], capture_output=True, text=True,
                          timeout=120, **kwargs)


def rows(text):
    return list(csv.DictReader(io.StringIO(text), delimiter="\t"))


@pytest.fixture(scope="module")
def random_fasta(tmp_path_factory):
    rng = random.Random(20240607)
    path = tmp_path_factory.mktemp("random") / "random.fa"
    seq = "".join(rng.choice("ACGT") for _ in range(300_000))
    path.write_text(">random\n" + "\n".join(seq[i:i + 80] for i in range(0, len(seq), 80)) + "\n")
    return path


def test_default_is_pvalue_1e4_with_the_printed_thresholds(tmp_path):
    default = run(MOTIFS, LAMBDA)
    explicit = run("--pvalue", "1e-4", MOTIFS, LAMBDA)
    assert default.returncode == 0, default.stderr
    assert default.stdout == explicit.stdout
    table = run("thresholds", MOTIFS)
    assert table.returncode == 0, table.stderr
    thresholds = {row["motif_id"]: row for row in rows(table.stdout)}
    hits = rows(default.stdout)
    assert hits and all(h["pvalue"] for h in hits)
    for hit in hits:
        chosen = thresholds[hit["motif_id"]]
        assert float(hit["mss"]) >= float(chosen["mss"]) and float(hit["css"]) >= float(chosen["css"])
        assert 0 < float(hit["pvalue"]) <= 1
    # The profile form holds the same thresholds: the module reads it, and
    # scanning with it as cut-offs gives the same hits.
    profile = tmp_path / "cutoffs.prf"
    assert run("thresholds", "--format", "profile", "-o", profile, MOTIFS).returncode == 0
    calc = vok.VokCalculator()
    calc.add_from_profile_file(str(profile))
    with_cutoffs = run("--mss", "0", "--cutoffs", profile, MOTIFS, LAMBDA)
    assert with_cutoffs.stdout == default.stdout


def test_a_stricter_hit_has_a_smaller_pvalue():
    hits = rows(run("--pvalue", "1e-2", "--css", "0", MOTIFS, LAMBDA).stdout)
    by_motif = {}
    for hit in hits:
        by_motif.setdefault((hit["motif_id"], hit["strand"]), []).append(
            (float(hit["mss"]), float(hit["pvalue"])))
    for pairs in by_motif.values():
        pairs.sort()
        assert all(a[1] >= b[1] for a, b in zip(pairs, pairs[1:]))


def test_counted_hits_match_the_expected_rate(random_fasta):
    table = {r["motif_id"]: r for r in rows(run("thresholds", "--pvalue", "1e-3", MOTIFS).stdout)}
    hits = rows(run("--pvalue", "1e-3", MOTIFS, random_fasta).stdout)
    expected = sum(float(r["hits_per_mbp"]) for r in table.values()) * 0.3
    # Poisson-like count of about 4700: four standard deviations.
    assert abs(len(hits) - expected) <= 4 * expected ** 0.5 + 10, (len(hits), expected)


def test_formats_carry_the_pvalue_where_they_can():
    bed_plus = run("-f", "bed+", MOTIFS, LAMBDA).stdout.splitlines()
    bed = run("-f", "bed", MOTIFS, LAMBDA).stdout.splitlines()
    assert {len(line.split("\t")) for line in bed_plus} == {9}
    assert {len(line.split("\t")) for line in bed} == {6}


def test_backgrounds(tmp_path, random_fasta):
    skewed = rows(run("thresholds", "--background", "0.4,0.1,0.1,0.4", MOTIFS).stdout)
    uniform = rows(run("thresholds", MOTIFS).stdout)
    assert [r["mss"] for r in skewed] != [r["mss"] for r in uniform]
    auto = rows(run("thresholds", "--background", "auto", MOTIFS, random_fasta).stdout)
    # Random uniform letters: the counted background is close to uniform.
    assert all(abs(float(a["mss"]) - float(u["mss"])) < 0.02 for a, u in zip(auto, uniform))


@pytest.mark.parametrize("args, message", [
    (["--pvalue", "1e-3", "--mss", "0.8", MOTIFS, LAMBDA], "either --pvalue or --mss"),
    (["--pvalue", "0", MOTIFS, LAMBDA], "--pvalue must lie in (0, 1]"),
    (["--background", "0.5,0.5", MOTIFS, LAMBDA], "four frequencies"),
    (["--background", "auto", MOTIFS, "-"], "standard input"),
    (["thresholds", "--background", "auto", MOTIFS], "needs FASTA files"),
    (["thresholds", "--background", "1,-1,0,0", MOTIFS], "frequency of C"),
])
def test_bad_pvalue_options_exit_2(args, message):
    result = run(*args, stdin=subprocess.DEVNULL)
    assert result.returncode == 2
    assert message in result.stderr and result.stderr.count("\n") == 1, result.stderr


def test_help_names_the_default_rate():
    text = run("--help").stdout
    assert "--pvalue" in text and "default: 0.0001" in text and "--background" in text
