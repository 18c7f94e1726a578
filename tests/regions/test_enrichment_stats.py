"""The enrichment statistics against independent computations: scipy where it
does not underflow, exact rational arithmetic everywhere else."""

import math
from decimal import Decimal, localcontext
from fractions import Fraction

import numpy as np
import pytest

from vokscan import enrichment_stats as stats

scipy_stats = pytest.importorskip("scipy.stats")


def exact_log10(value: Fraction) -> float:
    """log10 of a positive rational of any size (math.log10 takes big integers)."""
    return math.log10(value.numerator) - math.log10(value.denominator)


def exact_hypergeometric_sf(k, population, successes, draws) -> Fraction:
    failures = population - successes
    total = sum(math.comb(successes, x) * math.comb(failures, draws - x)
                for x in range(max(k, 0), min(successes, draws) + 1))
    return Fraction(total, math.comb(population, draws))


def exact_binomial_sf(k, n, p) -> Fraction:
    p = Fraction(p)
    return sum((math.comb(n, x) * p ** x * (1 - p) ** (n - x) for x in range(max(k, 0), n + 1)), Fraction(0))


# (target_with, targets, control_with, controls): small, balanced, lopsided,
# degenerate margins and large peak sets.
FISHER_TABLES = [
    (0, 10, 0, 30), (1, 1, 0, 3), (3, 10, 2, 30), (10, 10, 30, 30), (0, 10, 30, 30),
    (7, 12, 0, 40), (50, 100, 50, 300), (40, 100, 120, 300), (520, 1000, 1100, 3000),
    (2100, 10000, 3000, 30000), (1200, 10000, 3100, 30000), (9000, 10000, 100, 30000),
    (1500, 2000, 2000, 6000), (1, 100000, 0, 300000),
]


@pytest.mark.parametrize("table", FISHER_TABLES)
def test_fisher_pvalue_equals_scipy_where_it_does_not_underflow(table):
    target_with, targets, control_with, controls = table
    got = stats.fisher_log10_pvalue(*table)
    reference = scipy_stats.fisher_exact([[target_with, targets - target_with],
                                          [control_with, controls - control_with]],
                                         alternative="greater").pvalue
    if reference > 1e-290:
        assert 10.0 ** got == pytest.approx(reference, rel=1e-9)
    else:
        # Beyond scipy's range: the log against exact arithmetic, to far more
        # than the six significant digits promised.
        exact = exact_hypergeometric_sf(target_with, targets + controls, target_with + control_with, targets)
        assert got == pytest.approx(exact_log10(exact), rel=1e-10)
        assert got < -300


def test_fisher_pvalue_is_exact_on_many_small_tables():
    rng = np.random.default_rng(5)
    for _ in range(300):
        targets, controls = (int(v) for v in rng.integers(1, 40, 2))
        target_with, control_with = int(rng.integers(0, targets + 1)), int(rng.integers(0, controls + 1))
        exact = exact_hypergeometric_sf(target_with, targets + controls, target_with + control_with, targets)
        got = stats.fisher_log10_pvalue(target_with, targets, control_with, controls)
        assert got == pytest.approx(exact_log10(exact), rel=1e-11, abs=1e-13)


def test_deep_tail_keeps_six_significant_digits_and_prints_no_zero():
    # 9000 of 10000 peaks against 3000 of 30000 controls: p near 1e-4966.
    got = stats.fisher_log10_pvalue(9000, 10000, 3000, 30000)
    exact = exact_log10(exact_hypergeometric_sf(9000, 40000, 12000, 10000))
    assert got == pytest.approx(exact, rel=1e-9)
    text = stats.format_log10(got)
    mantissa, exponent = text.split("e")
    assert int(exponent) == math.floor(exact)
    assert float(mantissa) == pytest.approx(10 ** (exact - math.floor(exact)), rel=5e-3)


@pytest.mark.parametrize("k, n, p", [
    (0, 10, 0.3), (3, 10, 0.3), (10, 10, 0.3), (11, 10, 0.3), (5, 40, 0.01), (1, 5, 0.0),
    (5, 5, 1.0), (250, 300, 0.25), (291, 328, 0.08287337017369989), (40, 60, 0.5), (290, 1000, 0.25),
])
def test_binomial_tail_equals_exact_arithmetic(k, n, p):
    exact = exact_binomial_sf(k, n, p)
    got = stats.log_binomial_sf(k, n, p)
    if exact == 0:
        assert got == -math.inf
    else:
        assert got / math.log(10) == pytest.approx(exact_log10(exact), rel=1e-11, abs=1e-13)


def test_site_test_splits_sites_by_the_share_of_windows():
    # 30 of 40 sites in targets holding a quarter of the windows.
    got = stats.binomial_log10_pvalue(30, 10, 1000, 3000)
    assert got == pytest.approx(exact_log10(exact_binomial_sf(30, 40, Fraction(1, 4))), rel=1e-11)
    assert stats.binomial_log10_pvalue(0, 5, 1000, 3000) == 0.0
    assert stats.binomial_log10_pvalue(0, 0, 0, 0) == 0.0  # no window anywhere: no evidence, p = 1


def bh_by_definition(pvalues):
    m = len(pvalues)
    ranked = sorted(pvalues)
    return [min(1, min(ranked[j] * m / (j + 1) for j in range(m) if ranked[j] >= p)) for p in pvalues]


@pytest.mark.parametrize("pvalues", [
    [0.01, 0.04, 0.03, 0.2, 1.0],
    [0.5, 0.5, 0.5],
    [1e-10, 0.9, 1e-10, 0.04, 0.011, 0.6],
    [0.02],
])
def test_bh_qvalues_follow_their_definition(pvalues):
    got = 10.0 ** stats.bh_log10_qvalues(np.log10(pvalues))
    assert got == pytest.approx(bh_by_definition(pvalues), rel=1e-12)


def test_bh_qvalues_stay_in_log_space_below_the_smallest_double():
    got = stats.bh_log10_qvalues([-500.0, -400.0, -1.0])
    assert got == pytest.approx([-500.0 + math.log10(3), -400.0 + math.log10(1.5), -1.0])


@pytest.mark.parametrize("value, text", [
    (-math.inf, "0"), (0.0, "1"), (math.log10(0.0123456), "0.0123"), (-411.49485002168, "3.2e-412"),
    (-1000.0, "1e-1000"), (-299.5, "3.16e-300"), (math.log10(9.9996) - 400, "1e-399"), (math.log10(879 * 0.4), "352"),
])
def test_format_log10(value, text):
    assert stats.format_log10(value) == text


def test_gc_bins_are_five_percent_wide_with_the_top_closed():
    gc = [0, 4, 5, 49, 50, 99, 100, 0, 3]
    acgt = [100, 100, 100, 100, 100, 100, 100, 0, 7]
    assert stats.gc_bins(gc, acgt).tolist() == [0, 0, 1, 9, 10, 19, 19, -1, 8]


def test_take_by_bin_takes_the_first_candidates_of_each_bin_in_draw_order():
    bins = np.array([3, 1, 3, -2, 3, 1, 5])
    taken = stats.take_by_bin({3: 2, 1: 5, 4: 1, 5: 0}, bins)
    assert {b: v.tolist() for b, v in taken.items()} == {3: [0, 2], 1: [1, 5], 4: []}


def decimal_log(value) -> Decimal:
    return Decimal(value).ln()


@pytest.mark.parametrize("n", [16, 35, 36, 80, 81, 500, 501, 600])
def test_stirling_remainder_against_high_precision(n):
    with localcontext() as context:
        context.prec = 50
        log_factorial = sum(decimal_log(k) for k in range(2, n + 1))
        exact = (log_factorial - (Decimal(n) + Decimal("0.5")) * decimal_log(n) + n
                 - Decimal(2 * math.pi).ln() / 2)
    assert stats._stirling_remainder(n) == pytest.approx(float(exact), rel=1e-13)


@pytest.mark.parametrize("x, mean", [(1_000_003, 1_000_000.0), (50, 49.5), (10, 30.0), (7, 0.5), (2e8, 2e8 - 7)])
def test_deviance_against_high_precision(x, mean):
    with localcontext() as context:
        context.prec = 60
        dx, dm = Decimal(x), Decimal(mean)
        exact = dx * (dx / dm).ln() + dm - dx
    assert stats._deviance(x, mean) == pytest.approx(float(exact), rel=1e-12)
