"""P-values of css/mss thresholds and of hits, under a background model.

A background gives the probabilities of A, C, G and T in random sequence,
positions independent. The statistics of a matrix (exact css distribution,
mss and joint tails bounded so that a p-value never understates the true
rate, per-hit tail table) are computed in the native engine.

    pvalue(matrix, css=0.9, mss=0.85)          P(css >= 0.9 and mss >= 0.85)
    threshold_for_pvalue(matrix, 1e-4, css=0)   the mss threshold for a rate
"""

from __future__ import annotations

import gzip
import math
import os
from typing import Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from .quoting import quote

#: The background of uniform random sequence.
UNIFORM = (0.25, 0.25, 0.25, 0.25)

#: The rate per position that ``vok-scan`` aims for when no threshold is given.
DEFAULT_PVALUE = 1e-4

Background = Tuple[float, float, float, float]

_READ_BLOCK = 1 << 24
_GZIP_MAGIC = b"\x1f\x8b"


class BackgroundError(ValueError):
    """A background that cannot be used; the message says why.

    Examples:
        >>> import vokscan
        >>> matrix = vokscan.read_motifs("examples/data/jaspar_core_vertebrates.transfac")[0]
        >>> try:
        ...     vokscan.pvalue(matrix, mss=0.9, background=(0.5, 0.5))
        ... except vokscan.BackgroundError as error:
        ...     print("refused")
        refused
    """


def parse_background(spec) -> Union[Background, str]:
    """``"uniform"``, ``"auto"`` (kept as is: estimated from sequences later),
    ``"a,c,g,t"`` text or four numbers -> frequencies scaled to sum 1."""
    if spec is None:
        return UNIFORM
    if isinstance(spec, str):
        text = spec.strip().lower()
        if text == "uniform":
            return UNIFORM
        if text == "auto":
            return "auto"
        parts = [part.strip() for part in text.split(",")]
        try:
            values = [float(part) for part in parts]
        except ValueError:
            raise BackgroundError(
                f"background must be 'uniform', 'auto' or four frequencies A,C,G,T "
                f"such as 0.3,0.2,0.2,0.3, not {quote(spec)}") from None
    else:
        try:
            values = [float(value) for value in spec]
        except (TypeError, ValueError):
            raise BackgroundError(f"background must be four numbers, not {quote(repr(spec))}") from None
    if len(values) != 4:
        raise BackgroundError(f"background needs four frequencies (A, C, G, T), got {len(values)}")
    for letter, value in zip("ACGT", values):
        if not math.isfinite(value) or value < 0:
            raise BackgroundError(f"background frequency of {letter} must be a finite number >= 0, "
                                  f"not {value}")
    total = sum(values)
    if total <= 0:
        raise BackgroundError("background frequencies must not all be zero")
    return tuple(value / total for value in values)


def complement(background: Background) -> Background:
    """The background of the opposite strand (A <-> T, C <-> G)."""
    a, c, g, t = background
    return (t, g, c, a)


def strand_backgrounds(background: Background, strand: str = "both") -> List[Background]:
    """The backgrounds of the strands a scan reads: a minus-strand window is
    the reverse complement of random sequence, so it follows the complemented
    background ("reversed" keeps the letters, so its background is unchanged)."""
    if strand == "both" and complement(background) != tuple(background):
        return [tuple(background), complement(background)]
    return [tuple(background)]


def _open_binary(path):
    """A FASTA file as bytes, decompressed when its content is gzip (or bgzip)."""
    with open(path, "rb") as handle:
        compressed = handle.read(2) == _GZIP_MAGIC
    return gzip.open(path, "rb") if compressed else open(path, "rb")


def count_bases(sources: Iterable[Union[str, os.PathLike]]) -> Dict[str, int]:
    """A/C/G/T counts (upper and lower case) in FASTA files, plain or gzip."""
    counts = dict.fromkeys("ACGT", 0)
    for source in sources:
        if os.fspath(source) == "-":
            raise BackgroundError("an estimated background needs the sequences twice; "
                                  "standard input can be read only once (give frequencies instead)")
        with _open_binary(source) as handle:
            carry = b""
            while True:
                block = handle.read(_READ_BLOCK)
                if not block:
                    break
                block = carry + block
                cut = block.rfind(b"\n") + 1
                block, carry = block[:cut], block[cut:]
                _count_block(block, counts)
            _count_block(carry, counts)
    return counts


def _count_block(block: bytes, counts: Dict[str, int]) -> None:
    # Header lines hold letters too: count them and take them off again.
    start = 0
    headers = []
    while True:
        at = block.find(b">", start)
        if at < 0:
            break
        if at == 0 or block[at - 1:at] == b"\n":
            end = block.find(b"\n", at)
            end = len(block) if end < 0 else end
            headers.append(block[at:end])
            start = end
        else:
            start = at + 1
    for letter in "ACGT":
        upper, lower = letter.encode(), letter.lower().encode()
        counts[letter] += block.count(upper) + block.count(lower) - sum(
            h.count(upper) + h.count(lower) for h in headers)


def background_from_sequences(sources, both_strands: bool = True) -> Background:
    """The base frequencies of FASTA files; with ``both_strands`` of the
    sequences and their reverse complements together (strand-symmetric)."""
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    counts = count_bases(sources)
    values = [counts[letter] for letter in "ACGT"]
    if both_strands:
        values = [values[b] + values[3 - b] for b in range(4)]
    if sum(values) == 0:
        raise BackgroundError("no A, C, G or T found to estimate the background from")
    return parse_background(values)


def _matrix_and_name(matrix) -> Tuple[np.ndarray, str]:
    """A vok.PwmMatrix, a motif record, or an (L, 4) array of A, C, G, T values."""
    if hasattr(matrix, "matrix") and hasattr(matrix, "id"):  # a motif record
        return np.ascontiguousarray(matrix.matrix, dtype=np.float32), str(matrix.id)
    if hasattr(matrix, "matrix") and hasattr(matrix, "name"):  # vok.PwmMatrix
        values = np.asarray(matrix.matrix, dtype=np.float32).reshape(-1, 4)
        return np.ascontiguousarray(values), str(matrix.name)
    values = np.asarray(matrix, dtype=np.float32)
    return np.ascontiguousarray(values), ""


def _resolve(background) -> Background:
    parsed = parse_background(background)
    if parsed == "auto":
        raise BackgroundError("background 'auto' needs sequences: use "
                              "background_from_sequences(paths) and pass its result")
    return parsed


def statistics(matrix, background=UNIFORM):
    """The engine's MatrixStatistics of a matrix under a background."""
    from . import _engine

    values, name = _matrix_and_name(matrix)
    return _engine.MatrixStatistics(values, list(_resolve(background)), name)


def pvalue(matrix, css: float = 0.0, mss: float = 0.0, background=UNIFORM) -> float:
    """P(css >= css and mss >= mss) for one random window of the matrix's
    length: never below the exact value and within 1% of it (within 0.25%
    wherever ``statistics(matrix).pvalue_bounds(css, mss)`` are that close,
    which is always unless every refinement ran out of its budget).

    Examples:
        >>> import vokscan
        >>> matrix = vokscan.read_motifs("examples/data/jaspar_core_vertebrates.transfac")[0]
        >>> p = vokscan.pvalue(matrix, css=0.9, mss=0.85)
        >>> 0 < p < 1e-3
        True
        >>> p_at = vokscan.pvalue(matrix, css=0.9, mss=0.85, background=(0.3, 0.2, 0.2, 0.3))
    """
    return statistics(matrix, background).pvalue(_threshold(css, "css"), _threshold(mss, "mss"))


def threshold_for_pvalue(matrix, p: float, css: float = 0.0, background=UNIFORM) -> float:
    """The smallest float mss threshold whose ``pvalue`` is at most p, so the
    true rate there never exceeds p and is within 0.5% of it unless the next
    lower float is already above p. A value above 1 means that no window is
    rare enough (no hits).

    Examples:
        >>> import vokscan
        >>> matrix = vokscan.read_motifs("examples/data/jaspar_core_vertebrates.transfac")[0]
        >>> mss = vokscan.threshold_for_pvalue(matrix, 1e-4, css=0.0)
        >>> vokscan.pvalue(matrix, css=0.0, mss=mss) <= 1e-4
        True
    """
    return statistics(matrix, background).threshold_for_pvalue(_probability(p), _threshold(css, "css"))


def _threshold(value, what: str) -> float:
    value = float(value)
    if math.isnan(value):
        raise ValueError(f"the {what} threshold must be a number, not NaN")
    return float(np.float32(value))


def _probability(p) -> float:
    p = float(p)
    if not (0.0 < p <= 1.0):
        raise ValueError(f"a p-value must lie in (0, 1], not {p}")
    return p


def _shared_threshold(per_strand, p: float, css: float, mss: float) -> float:
    """The lowest float mss >= `mss` whose p-value is at most p on every
    strand: the stricter strand's threshold is above the other's own, where
    that strand's bound (refined to 0.25%) may still wobble above p."""
    mss = np.float32(mss)
    while any(s.pvalue(css, float(mss)) > p for s in per_strand):
        mss = np.nextafter(mss, np.float32(np.inf))
    return float(mss)


def _each(function, items: Sequence, threads: int) -> Iterator:
    """function(item) for each item, in order, on `threads` worker threads
    (0: the engine's shared pool size); the engine's searches release the
    interpreter meanwhile. The first failure in item order is raised, and
    no item waiting to start is started after it."""
    from . import _engine

    workers = min(_engine.worker_threads(threads), len(items))
    if workers <= 1:
        yield from map(function, items)
        return
    from concurrent.futures import ThreadPoolExecutor

    executor = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="vokscan-thresholds")
    try:
        yield from executor.map(function, items)
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


class MotifThresholds:
    """Per-motif thresholds for a rate: mss for the rate on every strand
    scanned, css as given or the one that costs no sensitivity (the lowest
    css of any window reaching that mss), and the resulting rates."""

    def __init__(self, matrices: Sequence, p: float, background: Background = UNIFORM,
                 css: Optional[float] = None, strand: str = "both",
                 cutoffs: Optional[Dict[str, Tuple[float, float]]] = None, threads: int = 0):
        """`threads`: worker threads for the motifs' searches (0: as many as
        the scan's shared pool); the thresholds are the same whatever the workers."""
        p = _probability(p)
        self.background = tuple(float(v) for v in _resolve(background))  # searched under this
        self.strand = strand  # ... and for the strands this reads
        self.backgrounds = strand_backgrounds(self.background, strand)  # one per strand background
        count = len(matrices)
        self.css = np.empty(count, dtype=np.float32)  # css threshold per motif
        self.mss = np.empty(count, dtype=np.float32)  # mss threshold per motif
        self.rate = np.zeros(count, dtype=np.float64)  # P(hit) per window, mean over strands
        # P(mss >= the mss threshold), any css, under the plus and the minus
        # strand's background: what per-hit p-value tables are capped at (NaN:
        # a motif too short to scan).
        self.threshold_pvalues = np.full((count, 2), np.nan)
        self.strands = 1 if strand == "forward" else 2  # records scanned per position
        given = None if css is None else _threshold(css, "css")
        cutoffs = cutoffs or {}

        def chosen(matrix) -> Tuple[float, float, float, Tuple[float, float]]:
            """(css, mss, rate, threshold p-value per strand) of one motif."""
            values, name = _matrix_and_name(matrix)
            if values.ndim != 2 or values.shape[0] < 5:  # never scanned: no core
                return 1.0, 1.0, 0.0, (math.nan, math.nan)
            per_strand = [statistics(values, bg) for bg in self.backgrounds]
            if name in cutoffs:
                chosen_css, mss = cutoffs[name]
            else:
                search_css = 0.0 if given is None else given
                mss = max(s.threshold_for_pvalue(p, search_css) for s in per_strand)
                mss = _shared_threshold(per_strand, p, search_css, mss)
                chosen_css = given if given is not None else min(
                    s.css_threshold_keeping(mss) for s in per_strand)
            css32, mss32 = float(np.float32(chosen_css)), float(np.float32(mss))
            rates = [s.pvalue(css32, mss32) for s in per_strand]
            # With the search's finer grids at hand, as the tables would compute it.
            caps = [s.pvalue(-math.inf, mss32) if mss32 > 0 else 1.0 for s in per_strand]
            return chosen_css, mss, sum(rates) / len(rates), (caps[0], caps[-1])

        from . import _engine

        try:
            for k, (chosen_css, mss, rate, caps) in enumerate(_each(chosen, matrices, threads)):
                self.css[k], self.mss[k], self.rate[k] = chosen_css, mss, rate
                self.threshold_pvalues[k] = caps
        finally:
            _engine.release_grid_buffers()  # the searches' working memory goes back

    def hits_per_mbp(self) -> np.ndarray:
        """Expected hits per million bases of random sequence, all strands read."""
        return self.rate * self.strands * 1e6
