import math

import pytest

import vok
from reference_model import f32

NAN = float("nan")
SHAPE = "Unable to copy from a matrix with a different shape."


@pytest.mark.parametrize("name, m, error, message", [
    (5, "bad", TypeError,  # the name is converted before m
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("x", {"a": 1}, TypeError, "argument 'm': 'dict' object cannot be converted to 'Sequence'"),
    ("x", [[1], [2], [3]], ValueError, "expected a sequence of length 4 (got 3)"),
    ("x", [], ValueError, "expected a sequence of length 4 (got 0)"),
    ("x", "ACG", ValueError, "expected a sequence of length 4 (got 3)"),
    ("x", "ACGT", ValueError, "Can't extract `str` to `Vec`"),
    ("x", [[1], "2", {3}, [4]], ValueError, "Can't extract `str` to `Vec`"),
    ("x", [[1], {2}, "3", [4]], TypeError,
     "argument 'm': 'set' object cannot be converted to 'Sequence'"),
    # Every item converts before any NaN or shape test.
    ("x", [[NAN, 2], [3], [4, 5], [6, "a"]], TypeError, None),
    ("x", [[1], [NAN], [1], [1]], OSError, "FloatIsNan"),
    ("x", [[1, 2], [3], [4, 5], [6, 7]], "panic", SHAPE),
    ("x", [[], [1], [], []], "panic", SHAPE),
    # Column k: NaN before length; columns before k passed both tests.
    ("x", [[1, 2], [NAN], [4, 5], [6, 7]], OSError, "FloatIsNan"),
    ("x", [[1, 2], [3, NAN, 1], [4, 5], [6, 7]], OSError, "FloatIsNan"),
    ("x", [[1, 2], [3], [NAN, 5], [6, 7]], "panic", SHAPE),
    ("x", [[NAN], [1, 2], [1], [1]], OSError, "FloatIsNan"),
])
def test_pwm_constructor_failures(panic_exception, name, m, error, message):
    expected = panic_exception if error == "panic" else error
    with pytest.raises(BaseException) as info:
        vok.PwmMatrix(name, m)
    assert type(info.value) is expected
    if message is None:
        assert str(info.value).startswith("argument 'm': ")
        assert "str" in str(info.value)
    else:
        assert info.value.args == (message,)


def test_pwm_element_type_error_keeps_interpreter_message():
    with pytest.raises(TypeError) as plain:
        math.fabs("a")  # the interpreter's own float conversion
    with pytest.raises(TypeError) as info:
        vok.PwmMatrix("x", [[1, "a"], [1, 2], [1, 2], [1, 2]])
    assert str(info.value) == "argument 'm': " + str(plain.value)


def test_pwm_copies_in_and_out_per_position():
    columns = [[1, 2], [3, 4], [5, 6], [7, 8]]
    matrix = vok.PwmMatrix(m=columns, name="x")
    columns[0][0] = 100
    columns.append([9])
    read = matrix.matrix
    assert all(type(v) is float for row in read for v in row)
    read[0][0] = -1.0
    read.append([0.0] * 4)
    assert matrix.matrix == [[1.0, 3.0, 5.0, 7.0], [2.0, 4.0, 6.0, 8.0]]
    assert matrix.matrix is not matrix.matrix
    assert vok.PwmMatrix("x", [[0.1], [-2.5], [math.inf], [1e39]]).matrix == [
        [f32(0.1), -2.5, math.inf, math.inf]]


def test_pwm_matrix_is_read_only_and_may_be_empty():
    matrix = vok.PwmMatrix("x", [[1], [2], [3], [4]])
    with pytest.raises(AttributeError):
        matrix.matrix = [[0, 0, 0, 0]]
    assert matrix.matrix == [[1.0, 2.0, 3.0, 4.0]]
    empty = vok.PwmMatrix("x", [[], [], [], []])
    assert empty.matrix == []
    assert repr(empty) == "PwmMatrix: x [ ]"


@pytest.mark.parametrize("m, block", [
    ([[1], [0], [0], [0]],
     ["  ┌         ┐", "  │ 1 0 0 0 │", "  └         ┘"]),
    # Right-aligned to the widest value of the whole matrix ("0.25").
    ([[1, 0.5], [10, -2], [0.25, 0], [100, 3]],
     ["  ┌" + " " * 21 + "┐",
      "  │    1   10 0.25  100 │",
      "  │  0.5   -2    0    3 │",
      "  └" + " " * 21 + "┘"]),
    ([[0.1], [-0.0], [math.inf], [1e20]],
     ["  ┌" + " " * 89 + "┐",
      "  │" + "".join(" " + v.rjust(21) for v in ["0.1", "-0", "inf",
                                                   "100000000000000000000"]) + " │",
      "  └" + " " * 89 + "┘"]),
])
def test_pwm_text_form(m, block):
    matrix = vok.PwmMatrix("M1", m)
    assert repr(matrix) == str(matrix) == "PwmMatrix: M1 \n" + "\n".join(block) + "\n\n"


def test_fasta_attributes_and_text():
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


def test_profile_attributes_and_text():
    record = vok.parse_profile("1 0.75 1 ACC M1\n")[0]
    assert type(record) is vok.Profile
    assert (record.id, record.css, record.mss) == ("M1", 0.75, 1.0)
    assert repr(record) == "Profile(id: M1, css: 0.75, mss: 1)"
    record.id = "other id"
    record.css = NAN
    record.mss = -3
    assert repr(record) == "Profile(id: other id, css: NaN, mss: -3)"
    assert math.isnan(record.css) and record.mss == -3.0
    with pytest.raises(TypeError) as info:
        record.id = b"M2"
    assert str(info.value) == "'bytes' object cannot be converted to 'PyString'"
    assert record.id == "other id"


def test_hit_attributes_and_text(hit):
    assert type(hit).__name__ == "Vok"
    values = [hit.sequence, hit.matrix, hit.pos, hit.strand, hit.css, hit.mss, hit.len]
    assert [type(v) for v in values] == [str, str, int, bool, float, float, int]
    hit.sequence = "chr1"
    hit.matrix = "M1"
    hit.pos = 17
    hit.strand = True
    hit.css = 1
    hit.mss = 0.8765
    hit.len = 12
    assert repr(hit) == str(hit) == ("Vok (sequence: chr1, matrix: M1, pos: 17, strand: +,"
                                     " css: 1, mss: 0.8765, len: 12)")
    assert hit.mss == f32(0.8765)
    hit.strand = False
    hit.pos = 2**64 - 1
    hit.css = -0.0
    assert repr(hit) == ("Vok (sequence: chr1, matrix: M1, pos: 18446744073709551615,"
                         " strand: -, css: -0, mss: 0.8765, len: 12)")


def _fresh_objects():
    fasta = vok.parse_fasta(">record name\nACGTACGT\n")[0]
    profile = vok.parse_profile("1 0.75 0.5 ACC matrix_one\n")[0]
    pwm = vok.PwmMatrix("matrix_two", [[1.5], [2.5], [3.5], [4.5]])
    calc = vok.VokCalculator()
    calc.default_css_threshold, calc.default_mss_threshold = 0.25, 0.75
    return {"fasta": fasta, "profile": profile, "pwm": pwm, "calc": calc}


@pytest.mark.parametrize("owner, attribute", [
    ("fasta", "name"), ("fasta", "seq"), ("profile", "id"), ("profile", "css"),
    ("profile", "mss"), ("pwm", "name"), ("pwm", "matrix"), ("calc", "default_css_threshold"),
    ("calc", "default_mss_threshold"), ("hit", "sequence"), ("hit", "matrix"), ("hit", "pos"),
    ("hit", "css"), ("hit", "mss"), ("hit", "len"),
])
def test_every_read_returns_a_fresh_object(hit, owner, attribute):
    hit.pos, hit.len = 10**12, 10**12 + 1  # beyond the interpreter's cache of small ints
    obj = hit if owner == "hit" else _fresh_objects()[owner]
    first, second = getattr(obj, attribute), getattr(obj, attribute)
    assert first == second and first is not second

