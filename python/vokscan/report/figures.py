"""The pictures of the report, each from a DataFrame (or a matrix): sequence
logos as small inline SVG drawn from shared letter shapes, and matplotlib
figures as inline SVG."""

from __future__ import annotations

import io
import math
from functools import lru_cache

import numpy as np

LETTERS = "ACGT"
COLOURS = {"A": "#109648", "C": "#255c99", "G": "#f7b32b", "T": "#d62839"}
TOP_MOTIFS = 6          # motifs whose site positions are drawn
_LOGO_PIXELS = 11       # width of one logo position
_LOGO_HEIGHT = 36       # height of a logo, 2 bits
_SMALLEST_LETTER = 0.01  # bits; thinner letters are left out


def number_text(value) -> str:
    """A table number as shown: 4 significant digits, inf and nan spelled out."""
    value = float(value)
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.4g}"


@lru_cache(maxsize=None)
def _glyph_path(letter: str) -> str:
    """The outline of a bold capital letter scaled to the unit square, as SVG path data."""
    from matplotlib.font_manager import FontProperties
    from matplotlib.textpath import TextPath

    path = TextPath((0, 0), letter, size=1, prop=FontProperties(family="DejaVu Sans", weight="bold"))
    vertices = path.vertices
    low, high = vertices.min(axis=0), vertices.max(axis=0)
    scaled = (vertices - low) / (high - low)
    scaled[:, 1] = 1.0 - scaled[:, 1]  # SVG's y grows downwards
    parts = []
    codes = path.codes
    i = 0
    while i < len(vertices):
        code = codes[i]
        if code == path.MOVETO:
            parts.append(f"M{scaled[i, 0]:.4f} {scaled[i, 1]:.4f}")
            i += 1
        elif code == path.LINETO:
            parts.append(f"L{scaled[i, 0]:.4f} {scaled[i, 1]:.4f}")
            i += 1
        elif code == path.CURVE3:
            parts.append(f"Q{scaled[i, 0]:.4f} {scaled[i, 1]:.4f} {scaled[i + 1, 0]:.4f} {scaled[i + 1, 1]:.4f}")
            i += 2
        elif code == path.CURVE4:
            parts.append("C" + " ".join(f"{scaled[j, 0]:.4f} {scaled[j, 1]:.4f}" for j in range(i, i + 3)))
            i += 3
        else:  # CLOSEPOLY
            parts.append("Z")
            i += 1
    return "".join(parts)


def glyph_definitions() -> str:
    """One hidden SVG defining the four letters, which every logo uses."""
    symbols = "".join(
        f'<symbol id="glyph-{letter}" viewBox="0 0 1 1" preserveAspectRatio="none">'
        f'<path d="{_glyph_path(letter)}" fill="{COLOURS[letter]}"/></symbol>' for letter in LETTERS)
    return f'<svg width="0" height="0" style="position:absolute" aria-hidden="true"><defs>{symbols}</defs></svg>'


def information_heights(matrix) -> np.ndarray:
    """Letter heights in bits: each position's frequencies times its information content."""
    values = np.asarray(matrix, dtype=np.float64)
    totals = values.sum(axis=1, keepdims=True)
    frequencies = np.divide(values, totals, out=np.full_like(values, 0.25), where=totals > 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        entropy = -np.nansum(np.where(frequencies > 0, frequencies * np.log2(frequencies), 0.0), axis=1)
    return frequencies * (2.0 - entropy)[:, None]


def logo_svg(matrix) -> str:
    """The sequence logo of a motif (rows: positions, columns A, C, G, T) as inline SVG."""
    heights = information_heights(matrix)
    length = len(heights)
    letters = []
    for position, row in enumerate(heights):
        bottom = 2.0  # stacked from the bottom, smallest first, so the tallest is on top
        for base in np.argsort(row, kind="stable"):
            height = row[base]
            if height < _SMALLEST_LETTER:
                continue
            letters.append(f'<use href="#glyph-{LETTERS[base]}" x="{position}" y="{bottom - height:.3f}" '
                           f'width="1" height="{height:.3f}"/>')
            bottom -= height
    return (f'<svg class="logo" width="{length * _LOGO_PIXELS}" height="{_LOGO_HEIGHT}" '
            f'viewBox="0 0 {length} 2" preserveAspectRatio="none" role="img">{"".join(letters)}</svg>')


def top_motifs(table, count: int = TOP_MOTIFS):
    """The best rows of the table that have a target site."""
    return table[table["target_with_site"] > 0].head(count)


def _svg_of(figure) -> str:
    import matplotlib.pyplot as plt

    buffer = io.StringIO()
    figure.savefig(buffer, format="svg", bbox_inches="tight", metadata={"Date": None})
    plt.close(figure)
    text = buffer.getvalue()
    return text[text.index("<svg"):]


def _pyplot():
    import matplotlib

    matplotlib.use("Agg", force=False)
    matplotlib.rcParams["svg.fonttype"] = "none"   # text stays text
    matplotlib.rcParams["svg.hashsalt"] = "vok"    # the same ids on every run
    import matplotlib.pyplot as plt

    return plt


def enrichment_figure(table) -> str:
    """log2 enrichment against -log10 p, one point per motif, the best named."""
    plt = _pyplot()
    figure, axes = plt.subplots(figsize=(6.0, 4.2))
    enrichment = table["enrichment"].to_numpy(dtype=float)
    significance = -table["log10_pvalue"].to_numpy(dtype=float)
    with np.errstate(divide="ignore", invalid="ignore"):
        x = np.log2(enrichment)
    finite = np.isfinite(x)
    ceiling = (np.max(x[finite]) if finite.any() else 0.0) + 1.0
    shown = np.where(np.isposinf(x), ceiling, x)
    drawn = np.isfinite(shown)
    axes.scatter(shown[drawn & finite], significance[drawn & finite], s=12, color="#4a6fa5", alpha=0.7,
                 linewidths=0)
    if np.isposinf(x).any():
        axes.scatter(shown[np.isposinf(x)], significance[np.isposinf(x)], s=24, marker=">", color="#c0392b",
                     label="no control site")
        axes.legend(loc="lower right", frameon=False, fontsize=8)
    for row, px, py in list(zip(table.itertuples(index=False), shown, significance))[:TOP_MOTIFS]:
        if np.isfinite(px):
            axes.annotate(row.motif_name or row.motif_id, (px, py), fontsize=8, xytext=(4, 2),
                          textcoords="offset points")
    axes.axvline(0.0, color="#999999", linewidth=0.8)
    axes.set_xlabel("log2 enrichment (target fraction / control fraction)")
    axes.set_ylabel("-log10 p-value")
    axes.spines[["top", "right"]].set_visible(False)
    return _svg_of(figure)


def position_figure(positions, top, target_length: int) -> str:
    """For the top motifs, where their sites lie in the targets relative to the
    centres: `positions` holds per motif id the site centres in equal bins
    over the target (first bin at its start)."""
    plt = _pyplot()
    count = max(len(top), 1)
    columns = min(3, count)
    rows = math.ceil(count / columns)
    figure, grid = plt.subplots(rows, columns, figsize=(3.2 * columns, 2.3 * rows), squeeze=False)
    bins = positions.shape[1] if positions.shape[1] else 1
    edges = (np.arange(bins + 1) / bins - 0.5) * (target_length if target_length > 0 else 1.0)
    centres = 0.5 * (edges[:-1] + edges[1:])
    for axes in grid.ravel()[len(top):]:
        axes.set_visible(False)
    for axes, row in zip(grid.ravel(), top.itertuples(index=False)):
        counts = positions.loc[row.motif_id].to_numpy(dtype=float)
        total = counts.sum()
        share = counts / total if total > 0 else counts
        axes.bar(centres, share, width=edges[1] - edges[0], color="#4a6fa5", linewidth=0)
        axes.axhline(1.0 / bins, color="#999999", linewidth=0.8, linestyle="--")
        axes.set_title(f"{row.motif_name or row.motif_id} ({row.motif_id})", fontsize=9)
        axes.set_xlabel("bp from the centre" if target_length > 0 else "share of the target from its centre",
                        fontsize=8)
        axes.set_ylabel("share of sites", fontsize=8)
        axes.tick_params(labelsize=7)
        axes.spines[["top", "right"]].set_visible(False)
    figure.tight_layout()
    return _svg_of(figure)
