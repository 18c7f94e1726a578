import math

import pytest
from hypothesis import given, settings, strategies as st

import vok
from reference_model import f32, f32_bits

TABLE = [
    (1.0, "1"), (0.5, "0.5"), (0.1, "0.1"), (1e20, "100000000000000000000"),
    (1e-7, "0.0000001"), (-0.0, "-0"), (0.0, "0"), (math.inf, "inf"),
    (-math.inf, "-inf"), (math.nan, "NaN"), (-2.5, "-2.5"), (0.85, "0.85"),
    (3e20, "300000000000000000000"), (1 / 3, "0.33333334"),
    (16777217.0, "16777216"),          # rounds to 2**24 on narrowing
    (123456789.0, "123456790"),        # shortest, not the exact 123456792
    (1e38, "100000000000000000000000000000000000000"),
    (3.4028234663852886e38, "340282350000000000000000000000000000000"),
    (1.401298464324817e-45, "0." + "0" * 44 + "1"),   # smallest subnormal
    (0.8765, "0.8765"), (-1e-3, "-0.001"), (100.0, "100"),
]


@pytest.mark.parametrize("value, text", TABLE)
def test_float_text_table(make_profile, value, text):
    record = make_profile("M", 1.0, 1.0)
    record.css = value
    assert repr(record) == f"Profile(id: M, css: {text}, mss: 1)"


def test_stored_float_is_the_narrowed_value(make_profile):
    record = make_profile()
    record.mss = 0.1
    assert record.mss == 0.10000000149011612
    assert repr(record).endswith("mss: 0.1)")


def significant_digits(text):
    digits = text.lstrip("-").replace(".", "").strip("0")
    return len(digits)


def fewest_digits(value):
    """Smallest digit count of any decimal that narrows back to value."""
    for count in range(1, 10):
        nearest = float(f"{value:.{count - 1}e}")
        mantissa, exponent = f"{nearest:.{count - 1}e}".split("e")
        step = 10.0 ** (int(exponent) - (count - 1))
        # The nearest decimal can miss just below a power of two, where the
        # gap under the value is half the gap above it; try its neighbours.
        for candidate in (nearest, nearest - step, nearest + step):
            if f32(candidate) == value:
                return count
    raise AssertionError(value)


@settings(max_examples=300, deadline=None)
@given(st.floats(width=32, allow_nan=False, allow_infinity=False))
def test_float_text_is_shortest_round_trip_without_exponent(value):
    record = vok.parse_profile("1 0 1 A M\n")[0]
    record.css = value
    text = repr(record)[len("Profile(id: M, css: "):-len(", mss: 1)")]
    assert "e" not in text and "E" not in text
    assert f32_bits(f32(float(text))) == f32_bits(value)
    if value != 0:
        assert significant_digits(text) == fewest_digits(abs(value))
        assert not text.endswith(".0") and not text.endswith(".")


@settings(max_examples=100, deadline=None)
@given(st.floats(allow_nan=False))
def test_float_attribute_reads_back_narrowed_double(value):
    record = vok.parse_profile("1 0 1 A M\n")[0]
    record.css = value
    assert f32_bits(record.css) == f32_bits(f32(value))
