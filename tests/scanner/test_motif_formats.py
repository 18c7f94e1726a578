"""Motif files: one table of real-world variants per format, detection,
validation and cut-off files."""

import gzip
from pathlib import Path

import numpy as np
import pytest

import vok
from vokscan import cutoffs, motifs
from vokscan.motifs import MotifError

ROOT = Path(__file__).resolve().parents[2]
BUNDLED = ROOT / "examples" / "data" / "jaspar_core_vertebrates.transfac"

# The matrix most fixtures hold (JASPAR MA0004.1 Arnt), rows = positions.
ARNT = [[4, 16, 0, 0], [19, 0, 1, 0], [0, 20, 0, 0], [0, 0, 20, 0], [0, 0, 0, 20], [0, 0, 20, 0]]

TRANSFAC_PUBLISHED = """\
VV  TRANSFAC MATRIX TABLE, Release 2.0
XX
//
AC  M00001
XX
ID  V$MYOD_01
XX
DT  19.10.92 (created); ewi.
XX
NA  MyoD
XX
PO      A      C      G      T
01      4     16      0      0      S
02     19      0      1      0      A
03      0     20      0      0      C
04      0      0     20      0      G
05      0      0      0     20      T
06      0      0     20      0      G
XX
BF  T00526; MyoD; Species: mouse, Mus musculus.
XX
//
"""

TRANSFAC_VARIANTS = [
    # (label, text, expected [(id, name)])
    ("published: VV header, PO, consensus letters, BF", TRANSFAC_PUBLISHED, [("V$MYOD_01", "MyoD")]),
    ("P0 header, single spaces, no closing //",
     "ID  M1\nP0 A C G T\n" + "".join(f"{i + 1:02d} {' '.join(map(str, r))}\n"
                                      for i, r in enumerate(ARNT)), [("M1", "")]),
    ("CRLF line ends and frequencies",
     "AC  X1\r\nID  X1\r\nP0      A      C      G      T\r\n"
     + "".join(f"{i + 1:02d}  {' '.join(str(v / 20) for v in r)}  N\r\n" for i, r in enumerate(ARNT))
     + "//\r\n", [("X1", "")]),
    ("no ID line: the accession names it",
     "AC  M99\nP0      A      C      G      T\n"
     + "".join(f"{i + 1:02d} {' '.join(map(str, r))}\n" for i, r in enumerate(ARNT)) + "//\n",
     [("M99", "")]),
    ("no ID nor AC: the factor name, else the record number, names it",
     "".join(head + "P0 A C G T\n" + "".join(f"{i + 1:02d} {' '.join(map(str, r))}\n"
                                           for i, r in enumerate(ARNT)) + "XX\n//\n"
             for head in ("NA  Arnt\n", "")), [("Arnt", "Arnt"), ("motif_2", "")]),
]

JASPAR_VARIANTS = [
    ("bracketed rows, CRLF, two motifs",
     ">MA0004.1 Arnt\r\nA  [ 4 19  0  0  0  0 ]\r\nC  [16  0 20  0  0  0 ]\r\n"
     "G  [ 0  1  0 20  0 20 ]\r\nT  [ 0  0  0  0 20  0 ]\r\n\r\n>MA0004.1b Arnt::Ahr\n"
     "A [4 19 0 0 0 0]\nC [16 0 20 0 0 0]\nG [0 1 0 20 0 20]\nT [0 0 0 0 20 0]\n",
     [("MA0004.1", "Arnt"), ("MA0004.1b", "Arnt::Ahr")]),
    ("tab after the id, rows without brackets",
     ">MA0004.1\tArnt\nA 4 19 0 0 0 0\nC 16 0 20 0 0 0\nG 0 1 0 20 0 20\nT 0 0 0 0 20 0\n",
     [("MA0004.1", "Arnt")]),
    ("rows in T G C A order are put back in order",
     ">M1\nT [0 0 0 0 20 0]\nG [0 1 0 20 0 20]\nC [16 0 20 0 0 0]\nA [4 19 0 0 0 0]\n",
     [("M1", "")]),
]

PFM_VARIANTS = [
    ("plain four rows, blank separated", "4 19 0 0 0 0\n16 0 20 0 0 0\n0 1 0 20 0 20\n0 0 0 0 20 0\n",
     [("motif1", "")]),
    ("tabs and a header line (JASPAR .pfm download)",
     ">MA0004.1 Arnt\n4\t19\t0\t0\t0\t0\n16\t0\t20\t0\t0\t0\n0\t1\t0\t20\t0\t20\n0\t0\t0\t0\t20\t0\n",
     [("MA0004.1", "Arnt")]),
]

MEME_HEADER = "MEME version 5.5.4\n\nALPHABET= ACGT\n\nstrands: + -\n\n"
MEME_ROWS = "".join(" ".join(f"{v / 20:.6f}" for v in r) + "\n" for r in ARNT)
MEME_VARIANTS = [
    ("full header, background, URL line, nsites",
     MEME_HEADER + "Background letter frequencies\nA 0.3 C 0.2 G 0.2 T 0.3\n\n"
     "MOTIF MA0004.1 Arnt\nletter-probability matrix: alength= 4 w= 6 nsites= 20 E= 0\n"
     + MEME_ROWS + "URL http://example.org/MA0004.1\n", [("MA0004.1", "Arnt")]),
    ("version line only, no nsites, no w, blank line after the rows",
     "MEME version 4\n\nMOTIF crp\nletter-probability matrix:\n" + MEME_ROWS + "\n"
     "MOTIF two alt name\nletter-probability matrix: alength= 4 w= 6\n" + MEME_ROWS,
     [("crp", ""), ("two", "alt name")]),
]

HOMER_ROWS = "".join("\t".join(f"{v / 20:.3f}" for v in r) + "\n" for r in ARNT)
# Four positions: four rows of four counts (A, C, G, T) against HOMER's
# four lines of four frequencies (one line per position).
FOUR = [[4, 16, 0, 0], [19, 0, 1, 0], [0, 20, 0, 0], [0, 0, 20, 0]]
FOUR_ROWS = "".join(" ".join(map(str, column)) + "\n" for column in zip(*FOUR))
FOUR_LINES = "".join("\t".join(f"{v / 20:.3f}" for v in r) + "\n" for r in FOUR)

HOMER_VARIANTS = [
    ("known motif header", ">CACGTG\tArnt(bHLH)/Liver-Arnt-ChIP-Seq/Homer\t6.04\t-1.8e+03\t0\tT:1\n"
     + HOMER_ROWS, [("Arnt(bHLH)/Liver-Arnt-ChIP-Seq/Homer", "Arnt")]),
    ("de novo header, two motifs", ">CACGTG\t1-CACGTG,BestGuess:X\t5.0\n" + HOMER_ROWS
     + ">CACGTG\t2-CACGTG\t5.0\n" + HOMER_ROWS,
     [("1-CACGTG,BestGuess:X", "1-CACGTG,BestGuess:X"), ("2-CACGTG", "2-CACGTG")]),
]

ALL_VARIANTS = ([("transfac",) + v for v in TRANSFAC_VARIANTS]
                + [("jaspar",) + v for v in JASPAR_VARIANTS]
                + [("pfm",) + v for v in PFM_VARIANTS]
                + [("meme",) + v for v in MEME_VARIANTS]
                + [("homer",) + v for v in HOMER_VARIANTS])


@pytest.mark.parametrize("fmt,label,text,expected", ALL_VARIANTS,
                         ids=[f"{v[0]}: {v[1]}" for v in ALL_VARIANTS])
def test_variant_is_detected_and_read(fmt, label, text, expected, tmp_path):
    assert motifs.detect_format(text) == fmt
    path = tmp_path / "motifs.txt"
    path.write_bytes(text.encode())
    found = motifs.load_motifs(path)
    assert [(m.id, m.name) for m in found] == expected
    for m in found:
        # Every fixture holds Arnt as counts or as frequencies (x 20 by nsites).
        scale = 20 / m.matrix.sum(axis=1, dtype=np.float64)[0]
        np.testing.assert_allclose(m.matrix * scale, ARNT, atol=0.011 * 20)
        assert m.matrix.dtype == np.float32 and m.matrix.shape == (6, 4)


@pytest.mark.parametrize("text,fmt", [
    (">MA9.1 four positions\n" + FOUR_ROWS, "pfm"),
    (">MA9.1\tfour\n" + FOUR_ROWS, "pfm"),  # a tab, but no consensus before it
    (">MA91\n" + FOUR_ROWS, "pfm"),  # a first field as long as the motif, but no tab
    (FOUR_ROWS, "pfm"),
    (">CACG\tfour(bHLH)/Homer\t5.0\n" + FOUR_LINES, "homer"),
    (">four\n" + FOUR_LINES, "homer"),  # no HOMER header: lines of frequencies tell
], ids=["pfm with header", "pfm with a tab", "pfm with a four-letter name", "pfm", "homer",
        "homer without its header"])
def test_four_positions_of_four_values(text, fmt):
    assert motifs.detect_format(text) == fmt
    (found,) = motifs.parse_motifs(text)
    np.testing.assert_allclose(found.matrix / found.matrix.sum(axis=1, keepdims=True),
                               np.array(FOUR) / 20, atol=1e-3)


def test_transfac_written_by_biopython(tmp_path):
    from Bio import motifs as bio

    text = bio.write([bio.create(["CACGTG", "CATGTG"]), bio.create(["TTGACA", "TTGACT"])], "transfac")
    found = motifs.parse_motifs(text)
    assert [(m.id, m.name) for m in found] == [("motif_1", ""), ("motif_2", "")]
    assert found[1].matrix[0].tolist() == [0, 0, 0, 2]


def test_forced_format_and_gzip(tmp_path):
    path = tmp_path / "m.gz"
    path.write_bytes(gzip.compress(JASPAR_VARIANTS[0][1].encode()))
    assert [m.id for m in motifs.load_motifs(path, "jaspar")] == ["MA0004.1", "MA0004.1b"]
    with pytest.raises(MotifError, match="not readable as transfac|no motifs found"):
        motifs.load_motifs(path, "transfac")
    with pytest.raises(MotifError, match=r"no motifs found \(read as transfac\)"):
        motifs.parse_motifs("hello\n", "transfac")


def test_meme_keeps_probabilities_times_nsites_exactly():
    text = MEME_HEADER + "MOTIF m\nletter-probability matrix: w= 6 nsites= 7\n" + MEME_ROWS
    (m,) = motifs.parse_motifs(text)
    np.testing.assert_array_equal(m.matrix, (np.array(ARNT) / 20 * 7).astype(np.float32))


def test_bundled_transfac_matches_the_module_reader():
    ours = motifs.read_motifs(BUNDLED)
    theirs = vok.parse_transfac(BUNDLED.read_text())
    assert [m.name for m in ours] == [m.name for m in theirs]
    for a, b in zip(ours, theirs):
        assert a.matrix == b.matrix  # same float32 values


BAD = [
    ("negative", ">M1 x\nA [1 -1 0 0 0]\nC [1 2 1 1 1]\nG [1 1 1 1 1]\nT [1 1 1 1 1]\n", "M1.*negative"),
    ("infinite", ">M2\nA [1 inf 0 0 0]\nC [1 2 1 1 1]\nG [1 1 1 1 1]\nT [1 1 1 1 1]\n", "M2.*not finite"),
    ("nan", ">M3\nA [1 nan 0 0 0]\nC [1 2 1 1 1]\nG [1 1 1 1 1]\nT [1 1 1 1 1]\n", "M3.*not finite"),
    ("zero row", ">M4\nA [1 0 0 0 0]\nC [1 0 1 1 1]\nG [1 0 1 1 1]\nT [1 0 1 1 1]\n", "M4.*position 2 has only zeros"),
    ("frequency rows not summing to one",
     ">M5\nA [0.25 0.5 0.25 0.25 0.25]\nC [0.25 0.1 0.25 0.25 0.25]\nG [0.25 0.1 0.25 0.25 0.25]\n"
     "T [0.25 0.1 0.25 0.25 0.25]\n", "M5.*do not sum consistently.*position 2"),
    ("counts mixed with frequencies",
     ">M6\nA [10 0.25 10 10 10]\nC [10 0.25 10 10 10]\nG [10 0.25 10 10 10]\nT [10 0.25 10 10 10]\n",
     "M6.*do not sum consistently"),
    ("rows of unequal length", ">M7\nA [1 1 1]\nC [1 1 1]\nG [1 1]\nT [1 1 1]\n", "M7.*differ in length"),
    ("three rows", ">M8\nA [1 1 1]\nC [1 1 1]\nG [1 1 1]\n", "M8.*expected 4 rows"),
    ("letter that is not a base", ">M9\nA [1 1]\nC [1 1]\nG [1 1]\nU [1 1]\n", "M9.*A, C, G or T"),
    ("protein MEME", "MEME version 4\n\nALPHABET= ACDEFGHIKLMNPQRSTVWY\n", "only DNA"),
    ("MEME w= disagreeing with the rows",
     "MEME version 4\n\nMOTIF short\nletter-probability matrix: w= 7\n" + MEME_ROWS, "short.*w= 7 but 6"),
    ("not a motif file", "hello world\n", "cannot tell the motif format"),
    ("empty file", "", "the motif file is empty"),
    ("blank lines only", "\n \r\n\t\n", "the motif file is empty"),
    ("FASTA", ">chr1 first\nACGTNNacgt\nACGT\n", "looks like FASTA: the motif file comes first"),
    ("two motifs of one identifier", JASPAR_VARIANTS[1][1] + JASPAR_VARIANTS[1][1].replace("Arnt", "Ahr"),
     "motifs 1 and 2 have the same identifier 'MA0004.1'"),
    ("a number that is not", ">M10\nA [1 1]\nC [1 1]\nG [1 1]\nT [1 x" + "y" * 3_000_000 + "]\n",
     r"M10', line 5: expected numbers, got 'xyyy.{76}\.\.\.'$"),
    ("a row of another letter, control characters in it",
     ">M11\nA [1 1]\nC [1 1]\nG [1 1]\nU\x01\x02 [1 1" + " 1" * 1_000_000 + "]\n",
     r"M11', line 5: row 'U\\x01\\x02 \[1 1 1.{70}\.\.\.' does not start with A, C, G or T$"),
]


@pytest.mark.parametrize("label,text,message", BAD, ids=[b[0] for b in BAD])
def test_bad_motifs_are_errors_naming_the_motif(label, text, message, tmp_path):
    path = tmp_path / "bad.motifs"
    path.write_text(text)
    with pytest.raises(MotifError, match=message) as info:
        motifs.load_motifs(path)
    assert str(path) in str(info.value) and len(str(info.value)) < 300


def test_published_row_totals_are_accepted():
    # JASPAR count matrices whose row totals differ by a factor of 6 are real data.
    rows = [[1000, 20, 21, 21], [10, 6000, 300, 270]] + [[300, 300, 300, 300]] * 4
    assert motifs.validate(motifs.Motif("MA0657.2", "", np.array(rows, np.float32)))


def test_from_biopython_and_coercion():
    from Bio import motifs as bio

    bio_motif = bio.create(["CACGTG", "CACGTG", "CATGTG"])
    bio_motif.name = "bHLH"
    pwm = motifs.from_biopython(bio_motif)
    assert isinstance(pwm, vok.PwmMatrix) and pwm.name == "bHLH"
    assert pwm.matrix[2] == [0.0, 2.0, 0.0, 1.0]
    back = motifs.coerce(pwm, 0)
    assert back.id == "bHLH" and back.matrix.shape == (6, 4)
    with pytest.raises(TypeError, match="motif 3"):
        motifs.coerce(42, 2)


def test_jaspar_database(capsys):
    pytest.importorskip("pyjaspar")
    found = motifs.jaspar_motifs("2024:CORE:vertebrates")
    ids = {m.id for m in found}
    assert "MA0139.2" in ids and len(found) == 879  # the latest version of each matrix
    assert {m.name for m in found if m.id == "MA0139.2"} == {"CTCF"}
    two_taxa = motifs.jaspar_motifs("2024:CORE:vertebrates,plants")
    assert ids < {m.id for m in two_taxa}
    with pytest.raises(MotifError, match="no release JASPAR1999"):
        motifs.jaspar_motifs("1999:CORE")
    assert capsys.readouterr().out == ""  # standard output may hold the hits


# --- cut-off files ---------------------------------------------------------

def test_cutoffs_apply_by_identifier_and_fall_back_to_defaults():
    table = cutoffs.parse_cutoffs("1 0.75 0.80 D1 M one\n1,0.9,0.85,D2,M2\n1 0.5 0.6 D1 M one\n")
    found = [motifs.Motif(i, "", np.ones((5, 4), np.float32)) for i in ("M one", "M2", "M3")]
    css, mss = cutoffs.thresholds(found, 0.95, 0.9, table)
    assert css.dtype == np.float32
    assert css.tolist() == [np.float32(0.5), np.float32(0.9), np.float32(0.95)]
    assert mss.tolist() == [np.float32(0.6), np.float32(0.85), np.float32(0.9)]
    assert cutoffs.unmatched({"M2": (0, 0), "typo": (0, 0)}, found) == ["typo"]


@pytest.mark.parametrize("text,line,what", [
    ("1 0.9 0.85 A M1\n\n", 2, "an empty line"),
    ("# cut-offs\n1 0.9 0.85 A M1\n", 1, "'# cut-offs'"),
    ("1 0.9 0.85 A M1\n1 nan 0.85 A M2\n", 2, "'1 nan 0.85 A M2'"),
    pytest.param("1 0.9 0.85 A M1\n" + "ACGT" * 10000 + "\n", 2, "'" + "ACGT" * 20 + "...'",
                 id="a long line, cut"),
    ("1 0.9 0.85 A M1\n1 x" + "y" * 3_000_000 + "\n", 2, "'1 xy" + "y" * 76 + "...'"),
])
def test_bad_cutoff_line_is_named(text, line, what, tmp_path):
    path = tmp_path / "c.prf"
    path.write_text(text)
    with pytest.raises(cutoffs.CutoffError) as info:
        cutoffs.load_cutoffs(path)
    assert str(info.value).startswith(f"{path}: line {line}: {what} is not a cut-off line")
    assert len(str(info.value)) < 300
