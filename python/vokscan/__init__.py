"""vokscan: genome-scale binding-site scanning on the vok scoring core.

    scan(motifs, sequences, ...)            hits in batches of columns
    scan_to_dataframe(motifs, sequences)    all hits as one table
    read_motifs(path)                       a motif file as vok.PwmMatrix objects
    from_biopython(motif)                   a Bio.motifs motif as a vok.PwmMatrix
"""

from .cutoffs import CutoffError
from .motifs import FORMATS, MotifError, from_biopython, read_motifs
from .scanning import DEFAULT_CSS, DEFAULT_MSS, scan, scan_to_dataframe

__all__ = [
    "scan",
    "scan_to_dataframe",
    "read_motifs",
    "from_biopython",
    "MotifError",
    "CutoffError",
    "FORMATS",
    "DEFAULT_CSS",
    "DEFAULT_MSS",
]
