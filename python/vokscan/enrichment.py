"""Known-motif enrichment: which motifs' sites are over-represented in target
sequences (peaks) against control sequences.

Both sets are scanned with the same thresholds; per motif the sequences
holding a site are compared with a one-sided Fisher exact test (or, with
``test="sites"``, the site counts against the windows scanned, a binomial
test), q-values by Benjamini-Hochberg, E-values as p times the motifs tested.
"""

from __future__ import annotations

import gzip
import os
from dataclasses import dataclass, field
from typing import Dict, Iterator, List, Optional

import numpy as np

from . import controls as control_module
from . import enrichment_stats as stats
from . import pvalues as pvalue_module
from .indexed_fasta import IndexedFasta
from .motifs import Motif
from .output import AtomicOutput
from .quoting import written_name
from .records import (RecordChunk, chunks_of, fasta_records, region_chunks,
                      scan_chunk)
from .regions import Regions, load_regions
from .scanning import PreparedMotifs, _engine, _split_sequences, motif_records, prepare_motifs

TESTS = ("sequences", "sites")
#: Bins of the site-position histograms over each target (centre: the middle two).
POSITION_BINS = 40
COLUMNS = ["rank", "motif_id", "motif_name", "target_sequences", "target_with_site", "target_fraction",
           "control_sequences", "control_with_site", "control_fraction", "enrichment", "log10_pvalue",
           "pvalue", "qvalue", "evalue", "target_sites", "control_sites"]


class EnrichmentError(ValueError):
    """Input that gives no enrichment table: an empty or unscannable set, a bad option."""


@dataclass
class SetTally:
    """What a scan of one sequence set leaves: per motif its sites and the
    sequences holding one, the runs of scanned letters and site positions."""

    sequences: int = 0
    with_site: Optional[np.ndarray] = None   # per motif
    sites: Optional[np.ndarray] = None       # per motif
    run_lengths: Dict[int, int] = field(default_factory=dict)  # run length -> runs
    positions: Optional[np.ndarray] = None   # motif x POSITION_BINS, targets only
    lengths: List[int] = field(default_factory=list)  # sequence lengths (targets only)

    def windows(self, motif_length: int) -> int:
        """Whole windows of a motif of this length, one strand."""
        return sum(count * (length - motif_length + 1)
                   for length, count in self.run_lengths.items() if length >= motif_length)


@dataclass
class EnrichmentResult:
    table: object                    # the DataFrame of COLUMNS, sorted by p-value
    motifs: List[Motif]              # the motifs in motif-file order
    positions: object                # DataFrame: motif_id x position bin over the targets
    target_length: int               # median target length, for the position axis
    settings: Dict[str, object]      # what was compared and how, for the report


def _is_fasta(path: str) -> bool:
    """A FASTA file (plain or gzip) rather than BED, by its first line of text."""
    with open(path, "rb") as handle:
        gzipped = handle.read(2) == b"\x1f\x8b"
    with (gzip.open(path, "rb") if gzipped else open(path, "rb")) as handle:
        for line in handle:
            stripped = line.strip()
            if stripped:
                return stripped.startswith(b">") or stripped.startswith(b";")
    return True  # an empty file: reported as an empty set


class _Source:
    """One sequence set: FASTA files, regions of the genome, or records in memory."""

    def __init__(self, what: str, given, genome: Optional[IndexedFasta]):
        self.what = what                          # "targets" or "control", for messages
        self.regions: Optional[Regions] = None    # set for regions of the genome
        self.paths: List[str] = []
        self.records = None
        self.genome = genome
        self.display = os.fspath(given) if isinstance(given, (str, os.PathLike)) else "in memory"
        if isinstance(given, (str, os.PathLike)) and not _is_fasta(os.fspath(given)):
            if genome is None:
                raise EnrichmentError(f"{what}: {os.fspath(given)} is a BED file; regions need a genome "
                                      "FASTA (--genome)")
            self.regions = load_regions(given, genome)
        elif hasattr(given, "columns"):
            if genome is None:
                raise EnrichmentError(f"{what}: regions need a genome FASTA (genome=)")
            self.regions = load_regions(given, genome)
        else:
            self.paths, records = _split_sequences(given)
            self.records = records or None

    def chunks(self) -> Iterator[RecordChunk]:
        if self.regions is not None:
            return region_chunks(self.genome, self.regions)
        if self.records is not None:
            return chunks_of(self.records)
        return chunks_of(fasta_records(self.paths))


def _background_of(source: _Source):
    """Base frequencies of a set, both strands (for background 'auto')."""
    counts = np.zeros(4, dtype=np.float64)
    for chunk in source.chunks():
        for text in chunk.texts:
            counts += [text.count(b) + text.count(b.lower()) for b in (b"A", b"C", b"G", b"T")]
    counts = counts + counts[::-1]
    if counts.sum() == 0:
        raise EnrichmentError(f"{source.what}: no A, C, G or T to estimate the background from")
    return [float(v) for v in counts / counts.sum()]


class _SetScan:
    """Scans chunks of one set into a SiteTally and its run lengths."""

    def __init__(self, engine, prepared: PreparedMotifs, options: dict, positions: bool, label: str):
        self.engine = engine
        self.label = label  # names the set in messages
        self.prepared = prepared
        self.options = options
        self.tally = engine.SiteTally(len(prepared.records), position_bins=POSITION_BINS if positions else 0)
        self.positions = positions
        self.run_lengths: Dict[int, int] = {}
        self.lengths: List[int] = []

    def add(self, chunk: RecordChunk) -> None:
        try:
            batch = scan_chunk(self.engine, self.prepared, chunk, **self.options)
        except self.engine.InputError as exc:
            raise EnrichmentError(f"{self.label}: {exc}") from None
        if self.positions:
            self.tally.add(batch, len(chunk), chunk.offsets, chunk.ends)
            self.lengths.extend(len(t) for t in chunk.texts)
        else:
            self.tally.add(batch, len(chunk))
        lengths, counts = self.engine.scannable_run_lengths(chunk.texts, self.options["mask"])
        for length, count in zip(lengths.tolist(), counts.tolist()):
            self.run_lengths[length] = self.run_lengths.get(length, 0) + count

    def result(self) -> SetTally:
        return SetTally(int(self.tally.records), self.tally.motif_records.astype(np.int64),
                        self.tally.motif_sites.astype(np.int64), self.run_lengths,
                        self.tally.positions if self.positions else None, self.lengths)


def _check_set(tally: SetTally, what: str, shortest: int) -> None:
    if tally.sequences == 0:
        raise EnrichmentError(f"{what}: no sequences")
    if tally.windows(shortest) == 0:
        raise EnrichmentError(f"{what}: no window to scan (every sequence is N or shorter than the "
                              f"shortest motif, {shortest} bases)")


def enrichment_table(motifs: List[Motif], targets: SetTally, controls: SetTally, test: str = "sequences"):
    """The table of COLUMNS from the two tallies, sorted by p-value then motif order."""
    import pandas as pd

    m = len(motifs)
    log10_p = np.empty(m)
    for k, motif in enumerate(motifs):
        if test == "sites":
            length = motif.matrix.shape[0]
            log10_p[k] = stats.binomial_log10_pvalue(int(targets.sites[k]), int(controls.sites[k]),
                                                     targets.windows(length), controls.windows(length))
        else:
            log10_p[k] = stats.fisher_log10_pvalue(int(targets.with_site[k]), targets.sequences,
                                                   int(controls.with_site[k]), controls.sequences)
    log10_q = stats.bh_log10_qvalues(log10_p)
    log10_e = log10_p + np.log10(m)
    target_fraction = targets.with_site / targets.sequences
    control_fraction = controls.with_site / controls.sequences
    with np.errstate(divide="ignore", invalid="ignore"):
        enrichment = target_fraction / control_fraction
    order = np.lexsort((np.arange(m), log10_p))
    frame = pd.DataFrame({
        "rank": np.arange(1, m + 1),
        "motif_id": [motifs[k].id for k in order],
        "motif_name": [motifs[k].name for k in order],
        "target_sequences": targets.sequences,
        "target_with_site": targets.with_site[order],
        "target_fraction": target_fraction[order],
        "control_sequences": controls.sequences,
        "control_with_site": controls.with_site[order],
        "control_fraction": control_fraction[order],
        "enrichment": enrichment[order],
        "log10_pvalue": log10_p[order],
        "pvalue": np.power(10.0, log10_p[order]),
        "qvalue": np.power(10.0, log10_q[order]),
        "evalue": np.power(10.0, log10_e[order]),
        "target_sites": targets.sites[order],
        "control_sites": controls.sites[order],
    }, columns=COLUMNS)
    return frame


def run_enrichment(motifs, targets, control=None, *, genome=None, control_times: int = 3,
                   shuffle_k: int = 2, seed: int = control_module.DEFAULT_SEED, test: str = "sequences",
                   pvalue: Optional[float] = None, css: Optional[float] = None, mss: Optional[float] = None,
                   cutoffs=None, background="uniform", strand: str = "both", mask: bool = False,
                   threads: int = 0, motif_format: Optional[str] = None,
                   control_sink=None, stop=None) -> EnrichmentResult:
    """The enrichment table with what the report shows besides; see enrich().
    control_sink: a binary file that receives the control sequences as FASTA;
    stop: a callable asked as the scans go, a true answer ends the run
    (KeyboardInterrupt)."""
    _check_options(control, control_times, shuffle_k, seed, test)
    if pvalue is not None and mss is not None:
        raise EnrichmentError("give pvalue or mss, not both")
    engine = _engine()
    indexed = IndexedFasta(os.fspath(genome)) if genome is not None else None
    target_source = _Source("targets", targets, indexed)
    if isinstance(control, str) and control == "genome":
        if target_source.regions is None:
            raise EnrichmentError("--control genome needs targets given as regions (BED) of --genome")
        control_source = None
        kind = "genome"
    elif control is not None:
        control_source = _Source("control", control, indexed)
        kind = "file"
    else:
        control_source = None
        kind = "shuffle"

    records = motif_records(motifs, motif_format)
    if background == "auto":
        background = _background_of(target_source)
    if pvalue is None and mss is None:
        pvalue = pvalue_module.DEFAULT_PVALUE
    prepared = prepare_motifs(records, css=css, mss=mss, cutoffs=cutoffs,
                              pvalue=pvalue if mss is None else None, background=background,
                              strand=strand, threads=threads)
    options = {"strand": strand, "mask": mask, "partial_windows": False, "threads": threads, "stop": stop}
    target_scan = _SetScan(engine, prepared, options, True, f"targets ({target_source.display})")
    control_scan = _SetScan(engine, prepared, options, False,
                            f"control ({control_source.display})" if control_source else "control")

    def control_chunk(chunk):
        if stop is not None and stop():
            raise KeyboardInterrupt
        if control_sink is not None:
            control_sink.writelines(control_module.fasta_lines(chunk))
        control_scan.add(chunk)

    produced = 0
    for chunk in target_source.chunks():
        if stop is not None and stop():
            raise KeyboardInterrupt
        target_scan.add(chunk)
        if kind == "shuffle":
            shuffled = control_module.shuffled_chunk(engine, chunk, shuffle_k, control_times, seed, produced)
            produced += len(shuffled)
            control_chunk(shuffled)
    if kind == "genome":
        regions = control_module.genomic_control(engine, indexed, target_source.regions, control_times, seed)
        for chunk in region_chunks(indexed, regions):
            control_chunk(chunk)
    elif kind == "file":
        for chunk in control_source.chunks():
            control_chunk(chunk)
    target_tally, control_tally = target_scan.result(), control_scan.result()
    shortest = min((m.matrix.shape[0] for m in records if m.matrix.shape[0] >= 5), default=5)
    _check_set(target_tally, "targets", shortest)
    _check_set(control_tally, "control", shortest)
    table = enrichment_table(records, target_tally, control_tally, test)
    import pandas as pd

    positions = pd.DataFrame(target_tally.positions, index=[m.id for m in records])
    settings = {"control": kind, "control_times": control_times, "shuffle_k": shuffle_k, "seed": seed,
                "test": test, "pvalue": pvalue, "mss": mss, "strand": strand, "mask": mask}
    target_length = int(np.median(target_tally.lengths)) if target_tally.lengths else 0
    return EnrichmentResult(table, records, positions, target_length, settings)


def _check_options(control, control_times, shuffle_k, seed, test) -> None:
    if isinstance(control, str) and control != "genome" and not os.path.exists(control):
        raise FileNotFoundError(2, "No such file or directory", control)
    if not isinstance(control_times, (int, np.integer)) or control_times < 1:
        raise EnrichmentError(f"control_times must be 1 or more, not {control_times!r}")
    if not isinstance(shuffle_k, (int, np.integer)) or not 1 <= shuffle_k <= 32:
        raise EnrichmentError(f"shuffle_k must lie in [1, 32], not {shuffle_k!r}")
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or not 0 <= seed < 1 << 64:
        raise EnrichmentError(f"seed must be an integer in [0, 2^64), not {seed!r}")
    if test not in TESTS:
        raise EnrichmentError(f"test must be one of {', '.join(TESTS)}, not {test!r}")


def enrich(motifs, targets, control=None, *, genome=None, control_times: int = 3, shuffle_k: int = 2,
           seed: int = control_module.DEFAULT_SEED, test: str = "sequences", pvalue: Optional[float] = None,
           css: Optional[float] = None, mss: Optional[float] = None, cutoffs=None, background="uniform",
           strand: str = "both", mask: bool = False, threads: int = 0, motif_format: Optional[str] = None,
           save_control=None, report=None):
    """Which motifs have sites in more target sequences than control sequences.

    motifs: a motif file path or a list of matrices (as for scan()).
    targets: a FASTA path, a BED path or a DataFrame of regions (chrom,
      start, end[, name]) of ``genome``, or in-memory records.
    control: None (default: every target shuffled ``control_times`` times,
      keeping its ``shuffle_k``-mer counts), "genome" (random regions of
      ``genome`` matching each target's length and 5 % G+C bin,
      ``control_times`` per target, none overlapping a target or more than
      10 % N), or a control set given as targets are.
    seed: every random choice comes from it, so a call repeats exactly.
    Sites use the scanner's thresholds: ``pvalue`` (default 1e-4 unless
    ``mss`` is given), ``css``, ``cutoffs``, ``background`` ("auto": counted
    in the targets), ``strand`` and ``mask``.
    test: "sequences" (Fisher's exact test on the sequences with a site) or
      "sites" (binomial test of the site counts against the windows scanned).
    save_control: a FASTA path to write the control sequences to.
    report: an HTML path for the report (needs the report extra).
    Returns a DataFrame with the columns of COLUMNS, best first; log10_pvalue
    is exact at any size, while pvalue, qvalue and evalue underflow to 0
    below about 1e-308.

    Examples:
        >>> import vokscan
        >>> table = vokscan.enrich("examples/data/jaspar_core_vertebrates.transfac",
        ...                        "examples/data/lambda_peaks.bed",
        ...                        genome="examples/data/lambda_virus.fa", seed=1)
        >>> table.loc[0, "motif_name"]        # the peaks were laid around FOXA1 sites
        'FOXA1'
        >>> bool(table.loc[0, "qvalue"] < 0.05)
        True
    """
    outputs = [AtomicOutput(path) for path in (save_control, report) if path is not None]
    try:
        if report is not None:
            from .report import write_report
        sink = open(outputs[0].target, "wb") if save_control is not None else None
        try:
            result = run_enrichment(motifs, targets, control, genome=genome, control_times=control_times,
                                    shuffle_k=shuffle_k, seed=seed, test=test, pvalue=pvalue, css=css,
                                    mss=mss, cutoffs=cutoffs, background=background, strand=strand,
                                    mask=mask, threads=threads, motif_format=motif_format,
                                    control_sink=sink)
        finally:
            if sink is not None:
                sink.close()
        if report is not None:
            write_report(result, outputs[-1].target)
        for output in outputs:
            output.commit()
    finally:
        for output in outputs:
            output.discard()
    return result.table


def table_lines(table) -> Iterator[str]:
    """The table as TSV lines with a header; p-, q- and E-values are written
    from their logarithms, so that none underflows to 0. Control characters
    in motif ids and names are written as '_'."""
    yield "\t".join(COLUMNS) + "\n"
    log10_p = table["log10_pvalue"].to_numpy()
    # The frame holds q and E as doubles; they are recomputed in log space.
    log10_q = stats.bh_log10_qvalues(log10_p)
    log10_e = log10_p + np.log10(max(len(table), 1))
    for i, row in enumerate(table.itertuples(index=False)):
        yield "\t".join([
            str(row.rank), written_name(row.motif_id), written_name(row.motif_name), str(row.target_sequences), str(row.target_with_site),
            _number(row.target_fraction), str(row.control_sequences), str(row.control_with_site),
            _number(row.control_fraction), _number(row.enrichment), f"{row.log10_pvalue + 0.0:.8g}",
            stats.format_log10(log10_p[i]), stats.format_log10(log10_q[i]), stats.format_log10(log10_e[i]),
            str(row.target_sites), str(row.control_sites)]) + "\n"


def _number(value: float) -> str:
    if np.isnan(value):
        return "nan"
    if np.isinf(value):
        return "inf"
    return f"{value:.6g}"
