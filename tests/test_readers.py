"""The three module readers end to end; their grammar tables are unit-tested in C++."""

import pytest

import vok
from reference_model import f32

FASTA = ">seq1 first demo read\nACGTAC\nGTTA\n>seq2\nacgt NNNN\nccgg\n"
TRANSFAC = ("VV  demo matrix table\nXX\n//\nAC  D00001\nID  DEMO_01\nPO  A C G T\n"
            "01  1 2 0 7\n02  0 0 10 0\n03  2.5 2.5 2.5 2.5\nXX\n//\n")
PROFILE = "1 0.75 0.80 D00001 DEMO_01\n1,0.9,0.85,D00002,DEMO_02\n1\t0.5\t0.6\tD00003\tDEMO_01\n"
ROW = "01 1 2 3 4\n"


def fasta_records(text):
    return [(r.name, r.seq) for r in vok.parse_fasta(text)]


def transfac_matrices(text):
    return [(m.name, m.matrix) for m in vok.parse_transfac(text)]


def profile_cutoffs(text):
    result = vok.parse_profile(text)
    assert all(type(p) is vok.Profile for p in result)
    as_map = {p.id: (p.css, p.mss) for p in result}
    assert len(as_map) == len(result), "an identifier was returned twice"
    return as_map


@pytest.mark.parametrize("line_end", ["\n", "\r\n"])
@pytest.mark.parametrize("read, text, expected", [
    (fasta_records, FASTA, [("seq1", "ACGTACGTTA"), ("seq2", "acgtNNNNccgg")]),
    (transfac_matrices, TRANSFAC,
     [("DEMO_01", [[1, 2, 0, 7], [0, 0, 10, 0], [2.5, 2.5, 2.5, 2.5]])]),
    # The last entry for an identifier wins; values are narrowed to 32 bits.
    (profile_cutoffs, PROFILE, {"DEMO_01": (0.5, f32(0.6)), "DEMO_02": (f32(0.9), f32(0.85))}),
])
def test_worked_examples(read, text, expected, line_end):
    assert read(text.replace("\n", line_end)) == expected


@pytest.mark.parametrize("parse, text, message", [
    # Nothing is read unless the text starts with a header.
    (vok.parse_fasta, "\ufeff>a\nAC\n", "Could not parse completly. \ufeff>a\nAC\n"),
    (vok.parse_profile, "1 0.5 0.25 A M\r\n\r\n", "Could not parse completly. \r\n"),
    (vok.parse_transfac, "ID\n" + ROW, "NoId"),
    (vok.parse_transfac, "ID M\nXX\n", "NoRows"),
    # The first failing record decides; good records before it are dropped.
    (vok.parse_transfac, "ID M\n" + ROW + "//\nID N\n//\n" + ROW, "NoRows"),
    # A malformed number: the remainder starts at the separator before its block.
    (vok.parse_transfac, "ID M\n" + ROW + "//\nID N\n01 1 2e 3 4\n//\nID O\n" + ROW,
     "Could not parse completly. //\nID N\n01 1 2e 3 4\n//\nID O\n" + ROW),
])
def test_reader_errors_are_plain_oserrors(parse, text, message):
    with pytest.raises(OSError) as info:
        parse(text)
    assert type(info.value) is OSError
    assert info.value.args == (message,)


@pytest.mark.parametrize("text, message", [
    ("ID M\n01 1 2 3 4\n02 1 2 nan 4\n03 1 1 1 1\n",
     "Matrix init. from iterator: iterator not long enough."),
    ("ID M\n00 1 2 3 4\n", "Matrix slicing out of bounds."),
])
def test_transfac_internal_failures(panic_exception, text, message):
    with pytest.raises(panic_exception) as info:
        vok.parse_transfac(text)
    assert info.value.args == (message,)
    assert transfac_matrices("ID M\n" + ROW) == [("M", [[1, 2, 3, 4]])]


def test_parsed_objects_are_independent():
    first, second = vok.parse_fasta(">a\nAC\n>a\nAC\n")
    first.seq = "GG"
    assert second.seq == "AC"
    first, second = vok.parse_transfac("ID A\n" + ROW + "//\nID A\n" + ROW)
    assert type(first) is vok.PwmMatrix
    first.name = "B"
    assert (first.name, second.name) == ("B", "A")
    first = vok.parse_profile("1 0.5 0.25 A M\n")[0]
    first.css, first.id = 0.9, "N"
    assert profile_cutoffs("1 0.5 0.25 A M\n") == {"M": (0.5, 0.25)}
    assert fasta_records(">a\nAC\n") == [("a", "AC")]
