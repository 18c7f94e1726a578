import math

import pytest

import vok

EMPTY = "VokCalculator: \n   default_css_threshold: 0, default_mss_threshold: 0"
M1_TEXT = "PwmMatrix: M1 \n  ┌         ┐\n  │ 1 0 0 0 │\n  └         ┘\n\n"
M1_COLUMNS = [[1], [0], [0], [0]]


def test_new_calculator():
    calc = vok.VokCalculator()
    assert (calc.default_css_threshold, calc.default_mss_threshold) == (0.0, 0.0)
    assert calc.evaluate() == []
    assert repr(calc) == str(calc) == EMPTY
    assert repr(vok.VokCalculator(1, x=2)) == EMPTY


@pytest.mark.parametrize("attribute", ["default_css_threshold", "default_mss_threshold"])
@pytest.mark.parametrize("value, read, text", [
    (0.85, 0.8500000238418579, "0.85"), (-1, -1.0, "-1"), (math.inf, math.inf, "inf"),
    (-0.0, -0.0, "-0"),
])
def test_threshold_attributes(attribute, value, read, text):
    calc = vok.VokCalculator()
    setattr(calc, attribute, value)
    assert getattr(calc, attribute) == read
    assert math.copysign(1, getattr(calc, attribute)) == math.copysign(1, read)
    css, mss = (text, "0") if attribute == "default_css_threshold" else ("0", text)
    assert repr(calc) == (f"VokCalculator: \n   default_css_threshold: {css},"
                          f" default_mss_threshold: {mss}")


@pytest.mark.parametrize("attribute", ["default_css_threshold", "default_mss_threshold"])
def test_threshold_refusals_keep_value(attribute):
    calc = vok.VokCalculator()
    setattr(calc, attribute, 0.5)
    with pytest.raises(OSError) as info:
        setattr(calc, attribute, float("nan"))
    assert type(info.value) is OSError and info.value.args == ("FloatIsNan",)
    with pytest.raises(TypeError) as info:
        setattr(calc, attribute, "0.9")
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        setattr(calc, attribute, 10**400)
    with pytest.raises(AttributeError) as info:
        delattr(calc, attribute)
    assert str(info.value) == "can't delete attribute"
    assert getattr(calc, attribute) == 0.5


def test_text_form_with_content_shows_copies(make_fasta, make_profile):
    calc = vok.VokCalculator()
    matrix = vok.PwmMatrix("M1", M1_COLUMNS)
    record = make_fasta("s1", "ACGT")
    profile = make_profile("P", 0.5, 1)
    calc.add_pwm(pwm=matrix)
    calc.add_pwm(vok.PwmMatrix("M2", [[], [], [], []]))
    calc.add_fasta(fasta=record)
    calc.add_fasta(make_fasta("s 2", ""))
    calc.add_profile(profile=profile)
    calc.default_mss_threshold = 0.25
    matrix.name, record.name, record.seq = "X", "Y", "ACGA"
    profile.id, profile.css = "Z", 0.75
    assert repr(calc) == ("VokCalculator: \n" + M1_TEXT + "PwmMatrix: M2 [ ]"
                          + " Fasta s1 ACGT\nFasta s 2 \n"
                          + " Profile(id: P, css: 0.5, mss: 1)\n"
                          + " default_css_threshold: 0, default_mss_threshold: 0.25")


def test_profiles_are_keyed_by_exact_identifier(make_profile):
    calc = vok.VokCalculator()
    calc.add_profile(make_profile("P", 0.5, 1))
    calc.add_profile(make_profile("P", 0.25, 0.75))
    calc.add_profile(make_profile("p", 0.1, 0.2))
    calc.add_profile(make_profile("P ", 0, 0))
    text = repr(calc)
    prefix = "VokCalculator: \n  "
    assert text.startswith(prefix)
    body, tail = text[len(prefix):].split(" default_css_threshold: ", 1)
    assert sorted(body.splitlines()) == sorted([
        "Profile(id: P, css: 0.25, mss: 0.75)", "Profile(id: p, css: 0.1, mss: 0.2)",
        "Profile(id: P , css: 0, mss: 0)"])
    assert body.endswith(")\n") and tail == "0, default_mss_threshold: 0"


def test_matrices_and_sequences_keep_duplicates_in_order(make_fasta):
    calc = vok.VokCalculator()
    matrix = vok.PwmMatrix("M1", M1_COLUMNS)
    record = make_fasta("s", "A")
    for _ in range(2):
        calc.add_pwm(matrix)
        calc.add_fasta(record)
    assert repr(calc) == ("VokCalculator: \n" + M1_TEXT * 2 + " Fasta s A\nFasta s A\n  "
                          "default_css_threshold: 0, default_mss_threshold: 0")


@pytest.mark.parametrize("css, mss", [(math.nan, 0.5), (0.5, math.nan), (math.nan, math.nan)])
def test_add_profile_refuses_nan(make_profile, css, mss):
    calc = vok.VokCalculator()
    calc.add_profile(make_profile("P", 0.5, 0.5))
    before = repr(calc)
    with pytest.raises(OSError) as info:
        calc.add_profile(make_profile("P", css, mss))
    assert type(info.value) is OSError and info.value.args == ("FloatIsNan",)
    assert repr(calc) == before


@pytest.mark.parametrize("seq", ["ACGTN", "acgt", "AC GT"])
def test_add_fasta_refuses_letters_other_than_acgt(make_fasta, seq):
    calc = vok.VokCalculator()
    with pytest.raises(OSError) as info:
        calc.add_fasta(make_fasta("s", seq))
    assert type(info.value) is OSError and info.value.args == ("VariantNotFound",)
    assert repr(calc) == EMPTY
