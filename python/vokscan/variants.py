"""Which binding sites variants create or break: the API, and the table of its rows.

Every ALT allele of every record is a variant of its own. Its REF and ALT
alleles lose the bases they share (leading, then trailing); what is left are
the changed bases, which the engine scores in their genome context: on REF
every window of a motif that overlaps the changed bases, on ALT every window
that holds a changed base or, for a deletion, both bases the deletion brings
together (an insertion point on REF likewise). The best window of each
allele is reported, with the scanner's css, mss and p-value.
"""

from __future__ import annotations

import os
import warnings
from typing import Dict, List, Optional

import numpy as np

from .effect_run import DEFAULT_MAX_INDEL, EffectBatch, EffectRun
from .indexed_fasta import IndexedFasta
from .scanning import PreparedMotifs, STRANDS, prepare_motifs
from .variant_input import read_variants

#: Output columns, in order (the TSV header and the DataFrame alike).
COLUMNS = ("chrom", "pos", "id", "ref", "alt", "motif_id", "motif_name",
           "ref_strand", "ref_offset", "ref_css", "ref_mss", "ref_pvalue",
           "alt_strand", "alt_offset", "alt_css", "alt_mss", "alt_pvalue",
           "delta_mss", "log10_pvalue_ratio", "effect")
EFFECTS = ("none", "gain", "loss", "both")  # by the engine's effect code
def open_genome(genome) -> IndexedFasta:
    """The indexed genome (indexes made when missing)."""
    return genome if isinstance(genome, IndexedFasta) else IndexedFasta(os.fspath(genome))


def prepare_effect_motifs(motifs, genome: IndexedFasta, *, pvalue=None, css=None, mss=None,
                          cutoffs=None, background="uniform", strand="both",
                          motif_format=None) -> PreparedMotifs:
    """The motifs with thresholds (p-value 1e-4 unless `pvalue` or `mss` is
    given) and per-hit p-value tables; background 'auto' counts the genome."""
    from .pvalues import DEFAULT_PVALUE, background_from_sequences, parse_background

    if pvalue is not None and mss is not None:
        raise ValueError("give either pvalue or mss, not both")
    if parse_background(background) == "auto":
        background = background_from_sequences([genome.path])
    fixed = {} if mss is None else {"mss": mss}  # fixed thresholds, or those of the rate
    return prepare_motifs(motifs, css=css, cutoffs=cutoffs, motif_format=motif_format,
                          pvalue=DEFAULT_PVALUE if pvalue is None and mss is None else pvalue,
                          background=background, strand=strand, pvalues=True, **fixed)


def check_options(max_indel: int, strand: str) -> None:
    if strand not in STRANDS:
        raise ValueError(f"strand must be one of {', '.join(STRANDS)}, not {strand!r}")
    if max_indel < 0:
        raise ValueError("max_indel must be 0 or more")


def effect_frame(prepared: PreparedMotifs, batches: List[EffectBatch]):
    """The rows of the batches as one DataFrame with the columns of COLUMNS."""
    import pandas as pd

    parts: Dict[str, list] = {}
    for batch in batches:
        columns = batch.rows.columns()
        variant = columns.pop("variant")
        for name in ("chrom", "pos", "id", "ref", "alt"):
            parts.setdefault(name, []).append(batch.column(name)[variant])
        for name, values in columns.items():
            parts.setdefault(name, []).append(values)
    if not parts:
        empty = pd.DataFrame({name: pd.Series(dtype=object) for name in COLUMNS})
        return empty
    joined = {name: np.concatenate(values) for name, values in parts.items()}
    motif = joined.pop("motif").astype(np.int64)
    effect = joined.pop("effect").astype(np.int64)
    frame = {name: joined[name] for name in ("chrom", "pos", "id", "ref", "alt")}
    frame["motif_id"] = pd.Categorical.from_codes(
        *_unique_codes(prepared.ids, motif))
    frame["motif_name"] = pd.Categorical.from_codes(*_unique_codes(prepared.names, motif))
    for allele in ("ref", "alt"):
        strand = joined[f"{allele}_strand"].astype(np.int64)
        present = strand != 0
        frame[f"{allele}_strand"] = pd.Categorical.from_codes(
            np.where(present, (strand > 0).astype(np.int64), -1), categories=["-", "+"])
        frame[f"{allele}_offset"] = pd.arrays.IntegerArray(joined[f"{allele}_offset"], ~present)
        for score in ("css", "mss", "pvalue"):
            frame[f"{allele}_{score}"] = joined[f"{allele}_{score}"]
    frame["delta_mss"] = joined["delta_mss"]
    frame["log10_pvalue_ratio"] = joined["log10_pvalue_ratio"]
    frame["effect"] = pd.Categorical.from_codes(effect, categories=list(EFFECTS))
    return pd.DataFrame({name: frame[name] for name in COLUMNS})


def _unique_codes(labels: List[str], codes: np.ndarray):
    """(codes, categories) with repeated labels sharing one code."""
    unique: Dict[str, int] = {}
    remap = np.array([unique.setdefault(label, len(unique)) for label in labels], dtype=np.int64)
    return remap[codes], list(unique)


def variant_effects(motifs, genome, variants, *, pvalue: Optional[float] = None,
                    css: Optional[float] = None, mss: Optional[float] = None, cutoffs=None,
                    background="uniform", strand: str = "both", mask: bool = False,
                    max_indel: int = DEFAULT_MAX_INDEL, skip_mismatches: bool = False,
                    all: bool = False, threads: int = 0, motif_format: Optional[str] = None):
    """The binding sites that variants create or break, as a DataFrame.

    motifs: a motif file path or a list of matrices (as for `scan`).
    genome: a FASTA path (plain or bgzip; .fai/.gzi indexes made when missing).
    variants: a VCF or BCF path (plain or bgzip; needs pysam), a TSV path with
      columns chrom, pos, ref, alt [, id] (1-based pos; a header line naming
      them is optional), or a DataFrame with those columns.
    pvalue, css, mss, cutoffs, background: thresholds as for `scan`; without
      pvalue and mss, each motif's mss threshold is that of p = 1e-4.
    max_indel: alleles with more changed bases are skipped (as are symbolic
      ones; a warning counts them). skip_mismatches: skip records whose REF is
      not the genome's, instead of raising VariantError.
    all: a row for every variant and motif, not only where an allele's best
      window passes.
    One row per variant (ALT allele) and motif, in input order then motif
    order, with the columns of COLUMNS; an allele without a window has empty
    (NA) fields; effect is gain, loss, both (or none, with all).

    Examples:
        >>> import vokscan
        >>> import warnings
        >>> with warnings.catch_warnings(record=True) as caught:
        ...     warnings.simplefilter("always")
        ...     effects = vokscan.variant_effects("examples/data/jaspar_core_vertebrates.transfac",
        ...                                       "examples/data/lambda_virus.fa",
        ...                                       "examples/data/lambda_variants.vcf")
        >>> print(caught[0].message)          # the file has a symbolic allele
        skipped 1 ALT allele: 1 symbolic (<...>, breakends, * or .)
        >>> set(effects["effect"]) <= {"gain", "loss", "both"}
        True

        Variants may also be a table (no pysam needed):

        >>> import pandas as pd
        >>> snv = pd.DataFrame({"chrom": ["gi|9626243|ref|NC_001416.1|"], "pos": [100],
        ...                     "ref": ["C"], "alt": ["A"]})
        >>> table = vokscan.variant_effects("examples/data/jaspar_core_vertebrates.transfac",
        ...                                 "examples/data/lambda_virus.fa", snv, all=True)
        >>> len(table)                        # one row per motif with all=True
        8
    """
    check_options(max_indel, strand)
    genome_index = open_genome(genome)
    prepared = prepare_effect_motifs(motifs, genome_index, pvalue=pvalue, css=css, mss=mss,
                                     cutoffs=cutoffs, background=background, strand=strand,
                                     motif_format=motif_format)
    source = "variants table" if hasattr(variants, "iloc") else os.fspath(variants)
    run = EffectRun(prepared, genome_index, max_indel=max_indel, skip_mismatches=skip_mismatches,
                    all_pairs=all, strand=strand, mask=mask, threads=threads, source=source)
    batches = list(run.batches(read_variants(variants)))
    frame = effect_frame(prepared, batches)
    message = run.skipped.message(max_indel)
    frame.attrs["skipped"] = dict(vars(run.skipped))
    if message:
        warnings.warn(message, stacklevel=2)
    return frame
