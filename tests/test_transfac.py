import math

import pytest

import vok
from reference_model import f32

INF = math.inf
EXAMPLE = ("VV  demo matrix table\nXX\n//\nAC  D00001\nID  DEMO_01\nPO  A C G T\n"
           "01  1 2 0 7\n02  0 0 10 0\n03  2.5 2.5 2.5 2.5\nXX\n//\n")
EXAMPLE_MATRIX = ("DEMO_01", [[1, 2, 0, 7], [0, 0, 10, 0], [2.5, 2.5, 2.5, 2.5]])
ROW = "01 1 2 3 4\n"


def matrices(text):
    return [(m.name, m.matrix) for m in vok.parse_transfac(text)]


@pytest.mark.parametrize("text, expected", [
    ("", []),
    ("VV header\nXX\n//\n", []),
    (EXAMPLE, [EXAMPLE_MATRIX]),
    (EXAMPLE.replace("\n", "\r\n"), [EXAMPLE_MATRIX]),
    (EXAMPLE.replace("01  1 2 0 7\n", "01  1 2 0 7\r\n"), [EXAMPLE_MATRIX]),
    ("ID M\n" + ROW, [("M", [[1, 2, 3, 4]])]),
    ("ID M\n" + ROW + "//\nID N\n02 5 6 7 8\n//\n",
     [("M", [[1, 2, 3, 4]]), ("N", [[0, 0, 0, 0], [5, 6, 7, 8]])]),
    ("ID M\nP0 A C G T\n" + ROW, [("M", [[1, 2, 3, 4]])]),
    ("ID\tM\n" + ROW, [("M", [[1, 2, 3, 4]])]),
    ("ID  my matrix  \n" + ROW, [("my matrix  ", [[1, 2, 3, 4]])]),
    ("ID   \n" + ROW, [("", [[1, 2, 3, 4]])]),
    ("ID first\nID second\n" + ROW, [("first", [[1, 2, 3, 4]])]),
    (ROW + "ID late\n", [("late", [[1, 2, 3, 4]])]),
    ("ID M\n01\t1\t2  3 4\n", [("M", [[1, 2, 3, 4]])]),
    ("ID M\n01 1 2 3 4 5 6\n", [("M", [[1, 2, 3, 4]])]),
    ("ID M\n01 1 2 3 4\n02 1 1 1 1\n05 2 2 2 2\n",
     [("M", [[1, 2, 3, 4], [1, 1, 1, 1], [0] * 4, [0] * 4, [2, 2, 2, 2]])]),
    ("ID M\n02 1 1 1 1\n02 3 3 3 3\n01 5 5 5 5\n", [("M", [[5] * 4, [3] * 4])]),
    ("ID M\n0001 1 2 3 4\n", [("M", [[1, 2, 3, 4]])]),
    ("ID M\n01 7 2.5 -0.5 1e2\n02 +1 .5 5. 1E-1\n",
     [("M", [[7, 2.5, -0.5, 100], [1, 0.5, 5, f32(0.1)]])]),
    ("ID M\n01 inf INF 1e39 -1e39\n", [("M", [[INF, INF, INF, -INF]])]),
    # The last record line needs no line end.
    ("ID M\n01 1 2 3 4", [("M", [[1, 2, 3, 4]])]),
    # Something after a row's last value stops the block after that row.
    ("ID M\n01 1 2 0 7 A\n02 0 0 10 0\n", [("M", [[1, 2, 0, 7]])]),
    ("ID M\n01 1 2 3 4 \n02 1 1 1 1\n", [("M", [[1, 2, 3, 4]])]),
    ("ID M\n01 1 2 3 4 nan\n02 1 1 1 1\n", [("M", [[1, 2, 3, 4]])]),
    ("ID M\n01 1 2 3 infinity\n02 5 5 5 5\n", [("M", [[1, 2, 3, INF]])]),
    ("ID M\n01 1 2 3 4\rX\n02 5 5 5 5\n", [("M", [[1, 2, 3, 4]])]),
    ("ID M\n01 1 2 3 4\n//\nID N\n01 5 6 7 8 x\n//\nID O\n" + ROW,
     [("M", [[1, 2, 3, 4]]), ("N", [[5, 6, 7, 8]]), ("O", [[1, 2, 3, 4]])]),
    # A line that nothing matches ends its block; the block yields nothing.
    ("ID M\rX\n" + ROW, []),
    # A row number too large for 64 bits makes an ordinary line.
    ("ID M\n" + ROW + "123456789012345678901 5 5 5 5\n", [("M", [[1, 2, 3, 4]])]),
])
def test_parse_transfac_matrices(text, expected):
    assert matrices(text) == expected


@pytest.mark.parametrize("text, message", [
    ("ID\n" + ROW, "NoId"),
    (" ID M\n" + ROW, "NoId"),
    ("PO A C G T\n", "NoId"),
    ("ID M\nXX\n", "NoRows"),
    ("ID M\n 01 1 2 3 4\n", "NoRows"),
    ("ID M\nPO A C G T \n" + ROW, "NoRows"),
    # The first failing record decides; good records before it are dropped.
    ("ID M\n" + ROW + "//\nID N\n//\n" + ROW, "NoRows"),
    ("ID M\n" + ROW + "CC see http://example.org\n02 1 1 1 1\n", "NoId"),
])
def test_parse_transfac_record_errors(text, message):
    with pytest.raises(OSError) as info:
        vok.parse_transfac(text)
    assert type(info.value) is OSError
    assert info.value.args == (message,)


@pytest.mark.parametrize("text, rest_from", [
    ("ID M\n01 1e 2 3 4\n//\nID N\n" + ROW, 0),
    ("ID M\n01 1 2 3 4E+\n", 0),
    ("ID M\n01 1 2 3 3e-x\n", 0),
    ("ID M\n" + ROW + "//\nID N\n01 1 2e 3 4\n//\nID O\n" + ROW, len("ID M\n" + ROW)),
    ("ID M\n" + ROW + "//\n//\nID N\n01 1 2 3 4e\n", len("ID M\n" + ROW + "//\n")),
])
def test_parse_transfac_malformed_exponent(text, rest_from):
    with pytest.raises(OSError) as info:
        vok.parse_transfac(text)
    assert info.value.args == ("Could not parse completly. " + text[rest_from:],)


@pytest.mark.parametrize("text, message", [
    ("ID M\n01 1 2 3\n", "Matrix init. from iterator: iterator not long enough."),
    ("ID M\n01 1 2 3 4\n02 1 2 nan 4\n03 1 1 1 1\n",
     "Matrix init. from iterator: iterator not long enough."),
    ("ID M\n00 1 2 3 4\n", "Matrix slicing out of bounds."),
])
def test_parse_transfac_internal_failures(panic_exception, text, message):
    with pytest.raises(panic_exception) as info:
        vok.parse_transfac(text)
    assert info.value.args == (message,)
    assert matrices("ID M\n" + ROW) == [("M", [[1, 2, 3, 4]])]


def test_parse_transfac_returns_independent_pwm_objects():
    first, second = vok.parse_transfac("ID A\n" + ROW + "//\nID A\n" + ROW)
    assert type(first) is vok.PwmMatrix
    first.name = "B"
    assert (first.name, second.name) == ("B", "A")
