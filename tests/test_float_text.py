import math

import pytest
from hypothesis import given, settings, strategies as st

import vok
from reference_model import f32, f32_bits

# Python floats are narrowed to 32 bits first; the text is the shortest
# positional decimal that reads back to the narrowed value.
TABLE = [
    (0.1, "0.1"), (-0.0, "-0"), (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "NaN"),
    (1e20, "100000000000000000000"), (1e-7, "0.0000001"), (1 / 3, "0.33333334"),
    (16777217.0, "16777216"),          # rounds to 2**24 on narrowing
    (123456789.0, "123456790"),        # shortest, not the exact 123456792
    (3.4028234663852886e38, "340282350000000000000000000000000000000"),
    (1.401298464324817e-45, "0." + "0" * 44 + "1"),   # smallest subnormal
]


@pytest.mark.parametrize("value, text", TABLE)
def test_float_text_table(make_profile, value, text):
    record = make_profile("M", 1.0, 1.0)
    record.css = value
    assert repr(record) == f"Profile(id: M, css: {text}, mss: 1)"


@settings(max_examples=300, deadline=None)
@given(st.one_of(st.floats(width=32, allow_nan=False), st.floats(allow_nan=False)))
def test_float_attribute_is_narrowed_and_printed_without_exponent(value):
    record = vok.parse_profile("1 0 1 A M\n")[0]
    record.css = value
    assert f32_bits(record.css) == f32_bits(f32(value))
    text = repr(record)[len("Profile(id: M, css: "):-len(", mss: 1)")]
    assert "e" not in text and "E" not in text
    assert f32_bits(f32(float(text))) == f32_bits(f32(value))
    assert not text.endswith(".0") and not text.endswith(".")
