"""The HTML report of an enrichment: one self-contained file (styles, script
and pictures inline, nothing fetched when it is opened) made of the template
beside this module and the figures of `figures`. Needs the report extra
(Jinja2 and matplotlib)."""

from __future__ import annotations

import os
from importlib import resources

from .. import enrichment_stats as stats


class ReportUnavailable(ImportError):
    """The report extra is not installed."""


def check_available() -> None:
    """Raises ReportUnavailable unless Jinja2 and matplotlib can be imported."""
    missing = []
    for module in ("jinja2", "matplotlib"):
        try:
            __import__(module)
        except ImportError:
            missing.append(module)
    if missing:
        raise ReportUnavailable(f"--report needs {' and '.join(missing)}: "
                                "python -m pip install 'vok[report]'")


def _rows(result):
    """Per table row: the cells as shown, and the values the table sorts by."""
    table = result.table
    log10_q = stats.bh_log10_qvalues(table["log10_pvalue"].to_numpy())
    motifs = {motif.id: motif for motif in result.motifs}
    from .figures import logo_svg

    for row, q in zip(table.itertuples(index=False), log10_q):
        yield {
            "rank": row.rank,
            "motif_id": row.motif_id,
            "motif_name": row.motif_name,
            "logo": logo_svg(motifs[row.motif_id].matrix),
            "target": f"{row.target_with_site} / {row.target_sequences}",
            "target_fraction": row.target_fraction,
            "control": f"{row.control_with_site} / {row.control_sequences}",
            "control_fraction": row.control_fraction,
            "enrichment": row.enrichment,
            "log10_pvalue": row.log10_pvalue,
            "pvalue": stats.format_log10(row.log10_pvalue),
            "log10_qvalue": q,
            "qvalue": stats.format_log10(q),
            "target_sites": row.target_sites,
            "control_sites": row.control_sites,
        }


def render_report(result) -> str:
    """The report's HTML text."""
    check_available()
    import jinja2

    from . import figures
    from ..commands.common import version

    template_text = resources.files(__package__).joinpath("template.html").read_text(encoding="utf-8")
    environment = jinja2.Environment(autoescape=True, undefined=jinja2.StrictUndefined)
    environment.filters["number"] = figures.number_text
    template = environment.from_string(template_text)
    top = figures.top_motifs(result.table)
    return template.render(
        rows=list(_rows(result)),
        settings=result.settings,
        motif_count=len(result.table),
        target_sequences=int(result.table["target_sequences"].iloc[0]) if len(result.table) else 0,
        control_sequences=int(result.table["control_sequences"].iloc[0]) if len(result.table) else 0,
        glyphs=figures.glyph_definitions(),
        volcano=figures.enrichment_figure(result.table),
        positions=figures.position_figure(result.positions, top, result.target_length),
        top_names=[f"{row.motif_name or row.motif_id}" for row in top.itertuples(index=False)],
        version=version(),
    )


def write_report(result, path) -> None:
    """Writes the report of an EnrichmentResult to `path`."""
    text = render_report(result)
    with open(os.fspath(path), "w", encoding="utf-8") as handle:
        handle.write(text)
