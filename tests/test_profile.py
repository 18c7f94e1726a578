import math

import pytest

import vok
from reference_model import f32

EXAMPLE = "1 0.75 0.80 D00001 DEMO_01\n1,0.9,0.85,D00002,DEMO_02\n1\t0.5\t0.6\tD00003\tDEMO_01\n"
EXAMPLE_MAP = {"DEMO_01": (0.5, f32(0.6)), "DEMO_02": (f32(0.9), f32(0.85))}


def cutoffs(text):
    result = vok.parse_profile(text)
    assert all(type(p) is vok.Profile for p in result)
    as_map = {p.id: (p.css, p.mss) for p in result}
    assert len(as_map) == len(result), "an identifier was returned twice"
    return as_map


@pytest.mark.parametrize("text, expected", [
    ("", {}),
    (EXAMPLE, EXAMPLE_MAP),
    (EXAMPLE.replace("\n", "\r\n"), EXAMPLE_MAP),
    ("1 0.5 0.25 ACC M", {"M": (0.5, 0.25)}),
    ("1   0.5\t\t0.25  ACC  \tM\n", {"M": (0.5, 0.25)}),
    ("1,0.5 0.25,ACC\tM\n", {"M": (0.5, 0.25)}),
    ("1 0.5 0.25 ACC my id $_x, y\n", {"my id $_x, y": (0.5, 0.25)}),
    ("1 0.5 0.25 ACC M  \n", {"M  ": (0.5, 0.25)}),
    ("1 0.5 0.25 ACC ,M\n", {",M": (0.5, 0.25)}),
    ("1 0.5 0.25 ACC, M\n", {" M": (0.5, 0.25)}),
    ("1 0.5 0.25 ACC \n", {"": (0.5, 0.25)}),
    ("1 0.5 0.25 A M\n1 0.5 0.25 A m\n", {"M": (0.5, 0.25), "m": (0.5, 0.25)}),
    ("1 0.1 0.1 A M\n1 0.2 0.3 A N\n1 -0.5 2 A M\n", {"M": (-0.5, 2.0), "N": (f32(0.2), f32(0.3))}),
    ("1 inf 1e2 A M\n1 .5 5. A N\n1 +1E-1 -1e39 A O\n",
     {"M": (math.inf, 100.0), "N": (0.5, 5.0), "O": (f32(0.1), -math.inf)}),
    ("1 0.5 0.25 A Mé ü\n", {"Mé ü": (0.5, 0.25)}),
])
def test_parse_profile_map(text, expected):
    assert cutoffs(text) == expected


@pytest.mark.parametrize("text, rest_from", [
    ("1 0.5 0.25 A M\n\n", len("1 0.5 0.25 A M\n")),
    ("title\n1 0.5 0.25 A M\n", 0),
    ("1 0.5 0.25 A M\n0 0.5 0.6 A N\n1 0.1 0.1 A O\n", len("1 0.5 0.25 A M\n")),
    (" 1 0.5 0.25 A M\n", 0),
    ("1 nan 0.25 A M\n", 0),
    ("1 0.5 NaN A M\n", 0),
    ("1 0.5 -inf A M\n", 0),  # the word forms take no sign
    ("1 0.5, 0.25 A M\n", 0),
    ("1 0.5 ,0.25 A M\n", 0),
    ("1 0.5 0.25 ACC\n", 0),
    ("1 0.5 0.25 A-C M\n", 0),
    ("1 1e 0.25 A M\n", 0),
    ("11 0.5 0.25 A M\n", 0),
    ("1 0.5 0.25 A M\rX\n1 0.5 0.25 A N\n", 0),
    ("1 0.5 0.25 A M\r\n\r\n", len("1 0.5 0.25 A M\r\n")),
])
def test_parse_profile_unconsumed_text(text, rest_from):
    with pytest.raises(OSError) as info:
        vok.parse_profile(text)
    assert type(info.value) is OSError
    assert info.value.args == ("Could not parse completly. " + text[rest_from:],)


def test_parse_profile_objects_are_independent():
    first = vok.parse_profile("1 0.5 0.25 A M\n")[0]
    first.css = 0.9
    first.id = "N"
    assert cutoffs("1 0.5 0.25 A M\n") == {"M": (0.5, 0.25)}
    assert repr(first) == "Profile(id: N, css: 0.9, mss: 0.25)"
