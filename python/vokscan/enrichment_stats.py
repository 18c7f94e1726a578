"""The statistics of motif enrichment, as small pure functions.

Probabilities are carried as logarithms throughout, so that p-values far
below the smallest double (1e-308), common with large peak sets, keep their
digits. A point probability comes from Loader's saddle-point expansion of the
binomial (Stirling-series remainders and deviance terms instead of
differences of log-gamma values, which lose digits for large counts); a tail
is the point probability at its edge times a sum of term ratios.
"""

from __future__ import annotations

import math
from typing import Dict, Sequence

import numpy as np

_LN_2PI = math.log(2.0 * math.pi)
_LN10 = math.log(10.0)
_TAIL_EPSILON = 1e-17  # a tail sum stops when its terms no longer change it

#: G+C bins of the genomic control: 5 % wide.
GC_BINS = 20


def _stirling_remainder(n: int) -> float:
    """ln(n!) - ln(sqrt(2 pi n) (n/e)^n)."""
    if n <= 15:
        if n == 0:
            return 0.0
        return math.lgamma(n + 1.0) - (n + 0.5) * math.log(n) + n - 0.5 * _LN_2PI
    nn = float(n) * n
    s0, s1, s2, s3, s4 = 1 / 12, 1 / 360, 1 / 1260, 1 / 1680, 1 / 1188
    if n > 500:
        return (s0 - s1 / nn) / n
    if n > 80:
        return (s0 - (s1 - s2 / nn) / nn) / n
    if n > 35:
        return (s0 - (s1 - (s2 - s3 / nn) / nn) / nn) / n
    return (s0 - (s1 - (s2 - (s3 - s4 / nn) / nn) / nn) / nn) / n


def _deviance(x: float, mean: float) -> float:
    """x ln(x / mean) + mean - x, without cancellation when x is near mean."""
    if abs(x - mean) < 0.1 * (x + mean):
        v = (x - mean) / (x + mean)
        total = (x - mean) * v
        term = 2.0 * x * v
        v *= v
        j = 1
        while True:
            term *= v
            updated = total + term / (2 * j + 1)
            if updated == total:
                return updated
            total = updated
            j += 1
    return x * math.log(x / mean) + mean - x


def log_binomial_pmf(x: int, n: int, p: float, q: float) -> float:
    """ln P(X = x) for X ~ Binomial(n, p), q = 1 - p given separately for accuracy."""
    if x < 0 or x > n:
        return -math.inf
    if p == 0.0:
        return 0.0 if x == 0 else -math.inf
    if q == 0.0:
        return 0.0 if x == n else -math.inf
    if x == 0:
        return -_deviance(n, n * q) - n * p if p < 0.1 else n * math.log(q)
    if x == n:
        return -_deviance(n, n * p) - n * q if q < 0.1 else n * math.log(p)
    log_core = (_stirling_remainder(n) - _stirling_remainder(x) - _stirling_remainder(n - x)
                - _deviance(x, n * p) - _deviance(n - x, n * q))
    return log_core - 0.5 * (_LN_2PI + math.log(x) + math.log1p(-x / n))


def log_hypergeometric_pmf(x: int, population: int, successes: int, draws: int) -> float:
    """ln P(X = x) for X the successes among `draws` taken without replacement
    from `population` items of which `successes` are successes."""
    failures = population - successes
    if x < max(0, draws - failures) or x > min(successes, draws):
        return -math.inf
    if draws == 0 or draws == population:
        return 0.0
    p = draws / population
    q = (population - draws) / population
    return (log_binomial_pmf(x, successes, p, q) + log_binomial_pmf(draws - x, failures, p, q)
            - log_binomial_pmf(draws, population, p, q))


def _log_tail(log_edge: float, ratio, first: int, last: int, step: int) -> float:
    """ln of the sum of the terms from `first` to `last` (inclusive, in `step`
    direction), the first being exp(log_edge) and each next one the previous
    times ratio(x) for x the previous term's index."""
    total, term, x = 1.0, 1.0, first
    while x != last:
        term *= ratio(x)
        x += step
        total += term
        if term < total * _TAIL_EPSILON:
            break
    return log_edge + math.log(total)


def log_hypergeometric_sf(k: int, population: int, successes: int, draws: int) -> float:
    """ln P(X >= k) for the hypergeometric X of log_hypergeometric_pmf."""
    failures = population - successes
    low, high = max(0, draws - failures), min(successes, draws)
    if k <= low:
        return 0.0
    if k > high:
        return -math.inf
    mode = (draws + 1) * (successes + 1) // (population + 2)

    def up(x):
        return (successes - x) * (draws - x) / ((x + 1) * (failures - draws + x + 1))

    def down(x):
        return x * (failures - draws + x) / ((successes - x + 1) * (draws - x + 1))

    if k > mode:
        return _log_tail(log_hypergeometric_pmf(k, population, successes, draws), up, k, high, 1)
    lower = _log_tail(log_hypergeometric_pmf(k - 1, population, successes, draws), down, k - 1, low, -1)
    return math.log1p(-math.exp(lower)) if lower < 0 else -math.inf


def log_binomial_sf(k: int, n: int, p: float) -> float:
    """ln P(X >= k) for X ~ Binomial(n, p)."""
    if k <= 0:
        return 0.0
    if k > n or p == 0.0:
        return -math.inf
    if p == 1.0:
        return 0.0
    q = 1.0 - p
    odds = p / q
    mode = math.floor((n + 1) * p)

    def up(x):
        return (n - x) / (x + 1) * odds

    def down(x):
        return x / (n - x + 1) / odds

    if k > mode:
        return _log_tail(log_binomial_pmf(k, n, p, q), up, k, n, 1)
    lower = _log_tail(log_binomial_pmf(k - 1, n, p, q), down, k - 1, 0, -1)
    return math.log1p(-math.exp(lower)) if lower < 0 else -math.inf


def fisher_log10_pvalue(target_with: int, targets: int, control_with: int, controls: int) -> float:
    """log10 of the one-sided Fisher exact test: P(as many targets with a site
    or more), given the table's margins (hypergeometric upper tail)."""
    return log_hypergeometric_sf(target_with, targets + controls, target_with + control_with,
                                 targets) / _LN10


def binomial_log10_pvalue(target_sites: int, control_sites: int, target_windows: int,
                          control_windows: int) -> float:
    """log10 P(as many target sites or more) when each of all the sites lands in
    a target window with the targets' share of the windows."""
    windows = target_windows + control_windows
    if windows == 0:
        return 0.0
    return log_binomial_sf(target_sites, target_sites + control_sites, target_windows / windows) / _LN10


def bh_log10_qvalues(log10_pvalues: Sequence[float]) -> np.ndarray:
    """Benjamini-Hochberg q-values over all tests, as log10: the smallest
    p_(j) m / j over ranks j at or after the test's own, at most 1."""
    values = np.asarray(log10_pvalues, dtype=np.float64)
    m = len(values)
    if m == 0:
        return values.copy()
    order = np.argsort(values, kind="stable")
    scaled = values[order] + np.log10(m / np.arange(1, m + 1))
    running = np.minimum.accumulate(scaled[::-1])[::-1]
    qvalues = np.empty(m)
    qvalues[order] = np.minimum(running, 0.0)
    return qvalues


def format_log10(value: float, digits: int = 3) -> str:
    """10**value as text with `digits` significant digits, also far below the
    smallest double (e.g. 3.21e-412); 0 only for a true zero."""
    if value == -math.inf:
        return "0"
    if value > -300:
        return f"{10.0 ** value:.{digits}g}"
    exponent = math.floor(value)
    mantissa = round(10.0 ** (value - exponent), digits - 1)
    if mantissa >= 10.0:
        mantissa /= 10.0
        exponent += 1
    text = f"{mantissa:.{digits - 1}f}".rstrip("0").rstrip(".")
    return f"{text}e{exponent}"


def gc_bins(gc, acgt, bins: int = GC_BINS) -> np.ndarray:
    """The G+C bin of each region: floor(bins x G+C / A+C+G+T), the top bin
    closed; -1 for a region without A/C/G/T."""
    gc = np.asarray(gc, dtype=np.int64)
    acgt = np.asarray(acgt, dtype=np.int64)
    with np.errstate(divide="ignore", invalid="ignore"):
        binned = np.minimum(bins - 1, (gc * bins) // np.maximum(acgt, 1))
    return np.where(acgt > 0, binned, -1)


def take_by_bin(need: Dict[int, int], candidate_bins) -> Dict[int, np.ndarray]:
    """For each bin with a need, the indices of the first need[bin]
    candidates in that bin, in draw order (fewer when there are fewer)."""
    candidate_bins = np.asarray(candidate_bins)
    taken = {}
    for bin_, count in need.items():
        if count > 0:
            taken[bin_] = np.flatnonzero(candidate_bins == bin_)[:count]
    return taken
