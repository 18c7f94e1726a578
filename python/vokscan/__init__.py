"""vokscan: genome-scale binding-site scanning on the vok scoring core.

    scan(motifs, sequences, ...)            hits in batches of columns
    scan_to_dataframe(motifs, sequences)    all hits as one table
    count_sites(motifs, sequences)          sites per record (or region) and motif
    enrich(motifs, targets, control)        motif enrichment in targets against a control
    read_motifs(path)                       a motif file as vok.PwmMatrix objects
    from_biopython(motif)                   a Bio.motifs motif as a vok.PwmMatrix
    pvalue(matrix, css=, mss=, background=) P(css >= css and mss >= mss) of a random window
    threshold_for_pvalue(matrix, p, css=)   the mss threshold for a rate per window
    variant_effects(motifs, genome, variants)  binding sites variants create or break

``vokscan.__version__`` is the installed distribution's version. The names
are loaded on first use, so that the command (vokscan.commands) takes Ctrl-C
before numpy and the engine are imported.
"""

import importlib
from typing import TYPE_CHECKING

# Name -> the module that defines it.
_EXPORTS = {
    "scan": "scanning",
    "scan_to_dataframe": "scanning",
    "count_sites": "counting",
    "enrich": "enrichment",
    "variant_effects": "variants",
    "DEFAULT_CSS": "scanning",
    "DEFAULT_MSS": "scanning",
    "read_motifs": "motifs",
    "from_biopython": "motifs",
    "MotifError": "motifs",
    "FORMATS": "motifs",
    "pvalue": "pvalues",
    "threshold_for_pvalue": "pvalues",
    "BackgroundError": "pvalues",
    "CutoffError": "cutoffs",
    "VariantError": "variant_input",
}

__all__ = list(_EXPORTS)

if TYPE_CHECKING:
    from .counting import count_sites
    from .cutoffs import CutoffError
    from .enrichment import enrich
    from .motifs import FORMATS, MotifError, from_biopython, read_motifs
    from .pvalues import BackgroundError, pvalue, threshold_for_pvalue
    from .scanning import DEFAULT_CSS, DEFAULT_MSS, scan, scan_to_dataframe
    from .variant_input import VariantError
    from .variants import variant_effects


def __getattr__(name):
    if name == "__version__":
        # The installed distribution's version, as ``vok-scan --version`` prints it.
        from ._version import distribution_version

        value = distribution_version()
    elif name in _EXPORTS:
        value = getattr(importlib.import_module(f".{_EXPORTS[name]}", __name__), name)
    elif not name.startswith("_"):
        # A submodule read as an attribute (vokscan.motifs) without importing it first.
        try:
            value = importlib.import_module(f".{name}", __name__)
        except ModuleNotFoundError as exc:
            if exc.name != f"{__name__}.{name}":
                raise
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}") from None
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS))
