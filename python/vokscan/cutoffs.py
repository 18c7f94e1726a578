"""Per-motif thresholds: the defaults, overridden by cut-off (profile) lines.

The cut-off file is read with the module's own profile reader, so it has
exactly the module's format: one line ``1 <css> <mss> <accession> <identifier>``
per motif. A line applies to the motif whose identifier (the ``motif_id``
column of the output: the TRANSFAC ``ID`` text, the JASPAR / MEME matrix id,
the HOMER motif name) equals the line's identifier exactly.
"""

from __future__ import annotations

import math
import os
from typing import Dict, Iterable, List, Mapping, Optional, Tuple

import numpy as np

import vok

from .motifs import Motif
from .quoting import quote

PREFIX = "Could not parse completly. "
QUOTE_LIMIT = 80  # characters of a bad line quoted in a message


class CutoffError(ValueError):
    """A cut-off file or threshold that cannot be used.

    Examples:
        >>> import vokscan
        >>> try:
        ...     vokscan.scan_to_dataframe("examples/data/jaspar_core_vertebrates.transfac",
        ...                               {"s": "ACGT" * 10}, mss=float("nan"))
        ... except vokscan.CutoffError as error:
        ...     print(error)
        the mss threshold must be a number, not NaN
    """


def parse_cutoffs(text: str, source: str = "<text>") -> Dict[str, Tuple[float, float]]:
    """Identifier -> (css, mss) of a profile text; the last line of an identifier wins."""
    try:
        entries = vok.parse_profile(text)
    except OSError as exc:
        message = str(exc)
        if message.startswith(PREFIX):
            remainder = message[len(PREFIX):]
            line_number = text[: len(text) - len(remainder)].count("\n") + 1
            bad = remainder.splitlines()[0] if remainder.splitlines() else remainder
            what = quote(bad) if bad.strip() else "an empty line"
            raise CutoffError(
                f"{source}: line {line_number}: {what} is not a cut-off line "
                f"('1 <css> <mss> <accession> <identifier>')") from None
        raise CutoffError(f"{source}: {message}") from None
    return {entry.id: (entry.css, entry.mss) for entry in entries}


def load_cutoffs(path) -> Dict[str, Tuple[float, float]]:
    """The cut-offs of a profile file."""
    with open(path, "rb") as handle:
        data = handle.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise CutoffError(f"{os.fspath(path)}: not UTF-8 text ({exc.reason} at byte "
                          f"{exc.start})") from None
    return parse_cutoffs(text, os.fspath(path))


def check_threshold(value: float, what: str) -> float:
    if value is None or math.isnan(value):
        raise CutoffError(f"{what} must be a number, not NaN")
    return float(np.float32(value))


def thresholds(motifs: List[Motif], css: float, mss: float,
               cutoffs: Optional[Mapping[str, Tuple[float, float]]] = None
               ) -> Tuple[np.ndarray, np.ndarray]:
    """Per-motif float32 css and mss thresholds: a cut-off line, else the defaults."""
    check_threshold(css, "the css threshold")
    check_threshold(mss, "the mss threshold")
    cutoffs = cutoffs or {}
    css_values = np.empty(len(motifs), dtype=np.float32)
    mss_values = np.empty(len(motifs), dtype=np.float32)
    for i, motif in enumerate(motifs):
        css_values[i], mss_values[i] = cutoffs.get(motif.id, (css, mss))
    return css_values, mss_values


def unmatched(cutoffs: Mapping[str, Tuple[float, float]], motifs: Iterable[Motif]) -> List[str]:
    """Identifiers of cut-off lines that name no motif (likely a typo)."""
    ids = {m.id for m in motifs}
    return sorted(key for key in cutoffs if key not in ids)
