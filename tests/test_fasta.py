import pytest

import vok

EXAMPLE = ">seq1 first demo read\nACGTAC\nGTTA\n>seq2\nacgt NNNN\nccgg\n"
EXAMPLE_RECORDS = [("seq1", "ACGTACGTTA"), ("seq2", "acgtNNNNccgg")]


def records(text):
    return [(r.name, r.seq) for r in vok.parse_fasta(text)]


@pytest.mark.parametrize("text, expected", [
    ("", []),
    (EXAMPLE, EXAMPLE_RECORDS),
    (EXAMPLE.replace("\n", "\r\n"), EXAMPLE_RECORDS),
    (">a\r\nAC\nGT\r\n", [("a", "ACGT")]),
    (">a\n>b\nAC\n", [("a", ""), ("b", "AC")]),
    (">a", [("a", "")]),
    (">a\nACGT", [("a", "ACGT")]),
    (">a\n\n  AC\t\n\n GT  \n\n", [("a", "ACGT")]),
    (">a\nACGT ACGT\n", [("a", "ACGTACGT")]),
    (">a\nAC-GT\nTT\n>b\nGG\n", [("a", "AC"), ("b", "GG")]),
    (">a\nAC*\n>b\nGG\n", [("a", "AC"), ("b", "GG")]),
    (">a\nACGT 10\nGG\n", [("a", "ACGT")]),
    (">a\n1 ACGT\n61 GGGG\n", [("a", "")]),
    (">a\nAC;note\n>b\nT\n", [("a", "AC"), ("b", "T")]),
    (">a\nACé\n", [("a", "AC")]),
    (">a\nAC>b rest\nGT\n", [("a", "AC"), ("b", "GT")]),
    (">a\nAUGCxyz\n", [("a", "AUGCxyz")]),
    # Header: the name ends at the first space, else at the first tab.
    (">name some description\nA\n", [("name", "A")]),
    (">na\tme x\nA\n", [("na\tme", "A")]),
    (">a\tb\nA\n", [("a", "A")]),
    (">a \nA\n", [("a", "A")]),
    ("> x\nA\n", [("", "A")]),
    (">whole_line|with:marks\nA\n", [("whole_line|with:marks", "A")]),
    (">sé q\nA\n", [("sé", "A")]),
])
def test_parse_fasta_records(text, expected):
    assert records(text) == expected


@pytest.mark.parametrize("text, rest", [
    ("ACGT\n", "ACGT\n"),
    ("\n>a\nAC\n", "\n>a\nAC\n"),
    (" >a\nAC\n", " >a\nAC\n"),
    ("\ufeff>a\nAC\n", "\ufeff>a\nAC\n"),
    (";comment\n>a\nAC\n", ";comment\n>a\nAC\n"),
])
def test_parse_fasta_unconsumed_text(text, rest):
    with pytest.raises(OSError) as info:
        vok.parse_fasta(text)
    assert type(info.value) is OSError
    assert info.value.args == ("Could not parse completly. " + rest,)


def test_fasta_class_text_and_attributes(make_fasta):
    record = vok.parse_fasta(">s desc\nACGT\n")[0]
    assert type(record) is vok.Fasta
    assert repr(record) == str(record) == "Fasta s, ACGT"
    record.name = "other name"
    record.seq = "not a sequence!"
    assert (record.name, record.seq) == ("other name", "not a sequence!")
    assert repr(record) == "Fasta other name, not a sequence!"
    with pytest.raises(TypeError) as info:
        record.seq = 5
    assert str(info.value) == "'int' object cannot be converted to 'PyString'"
    assert record.seq == "not a sequence!"


def test_parsed_records_are_independent():
    first, second = vok.parse_fasta(">a\nAC\n>a\nAC\n")
    first.seq = "GG"
    assert second.seq == "AC"
    assert records(">a\nAC\n") == [("a", "AC")]


def test_fasta_has_no_constructor():
    with pytest.raises(TypeError) as info:
        vok.Fasta()
    assert str(info.value) == "No constructor defined"


EMPTY_CALC = "VokCalculator: \n   default_css_threshold: 0, default_mss_threshold: 0"


@pytest.mark.parametrize("seq", ["ACGTN", "acgt", "ACGU", "AC GT", "ACGTÄ", "A1"])
def test_base_conversion_refuses_other_letters(make_fasta, seq):
    calc = vok.VokCalculator()
    with pytest.raises(OSError) as info:
        calc.add_fasta(make_fasta("s", seq))
    assert info.value.args == ("VariantNotFound",)
    assert repr(calc) == EMPTY_CALC


@pytest.mark.parametrize("seq", ["", "A", "TGCA", "ACGT" * 50])
def test_base_conversion_keeps_letters_in_order(make_fasta, seq):
    calc = vok.VokCalculator()
    calc.add_fasta(make_fasta("s", seq))
    assert repr(calc) == (f"VokCalculator: \n Fasta s {seq}\n"
                          "  default_css_threshold: 0, default_mss_threshold: 0")
