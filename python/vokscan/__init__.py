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

``vokscan.__version__`` is the installed distribution's version.
"""

from ._version import distribution_version as _distribution_version
from .counting import count_sites
from .cutoffs import CutoffError
from .enrichment import enrich
from .motifs import FORMATS, MotifError, from_biopython, read_motifs
from .pvalues import BackgroundError, pvalue, threshold_for_pvalue
from .scanning import DEFAULT_CSS, DEFAULT_MSS, scan, scan_to_dataframe
from .variants import variant_effects
from .variant_input import VariantError

#: The installed distribution's version, as ``vok-scan --version`` prints it.
__version__ = _distribution_version()

__all__ = [
    "scan",
    "scan_to_dataframe",
    "count_sites",
    "enrich",
    "read_motifs",
    "from_biopython",
    "pvalue",
    "threshold_for_pvalue",
    "variant_effects",
    "BackgroundError",
    "VariantError",
    "MotifError",
    "CutoffError",
    "FORMATS",
    "DEFAULT_CSS",
    "DEFAULT_MSS",
]
